// rdrd as its tests and benchmarks meet it: the program started on a port of
// 127.0.0.1 the system chose, and its clients (plain HTTP, Server-Sent Events,
// WebSocket). Everything runs on the calling thread but StreamClients, whose
// clients are all read on one thread of their own. Refusals throw
// std::runtime_error (or boost::system::system_error).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/test_kit.h"
#include "tools/child_process.h"

namespace rdrtest {

using namespace std::chrono_literals;

// A configuration file's text (TOML) without listen, which rdrd is given.
struct RdrdConfig {
  std::string toml;
};

class Rdrd {
 public:
  // rdrd with `arguments`, which must make it listen on 127.0.0.1 (port 0:
  // the system's choice). Returns once it listens.
  explicit Rdrd(std::vector<std::string> arguments, const std::vector<std::string>& environment = {});
  // rdrd on `configuration`, written to a file of its own.
  explicit Rdrd(const RdrdConfig& configuration);
  // SIGTERM, and waits for its end.
  ~Rdrd();
  Rdrd(const Rdrd&) = delete;
  Rdrd& operator=(const Rdrd&) = delete;

  uint16_t Port() const { return port_; }
  // Reads the log until a line holds `text`; that line, or nullopt.
  std::optional<std::string> WaitForLog(const std::string& text, std::chrono::milliseconds patience = 5s);
  // Reads the log until each of `readers` reported its port open: bytes sent
  // before that may be dropped with the port's input queue.
  bool WaitForReadersUp(std::vector<std::string> readers);
  ChildProcess& Process() { return *process_; }

 private:
  void Start(std::vector<std::string> arguments, const std::vector<std::string>& environment);
  TempDir dir_{"rdr00800-rdrd"};
  std::unique_ptr<ChildProcess> process_;
  uint16_t port_ = 0;
};

struct HttpReply {
  int status = 0;
  std::string head;  // the status line and fields
  std::string body;
};
// Sends `request` as it is and reads the answer to the connection's end.
HttpReply SendRaw(uint16_t port, const std::string& request);
// GET `target` with the right Host, `fields` ("Name: value\r\n"...) added.
HttpReply Get(uint16_t port, const std::string& target, const std::string& fields = "");
// The body of GET `target`, after a 200; throws otherwise.
std::string GetBody(uint16_t port, const std::string& target);

// One Server-Sent Events stream; `receiveBuffer` > 0 shrinks the socket's.
class SseClient {
 public:
  SseClient(uint16_t port, const std::string& target, const std::string& fields = "", int receiveBuffer = 0);
  ~SseClient();
  int Status();  // of the response head, read on first use
  // The next event's data: the event's JSON as the server sent it.
  std::optional<std::string> Next(std::chrono::milliseconds patience = 5s);
  // True when the server ended the connection within `patience`.
  bool Ended(std::chrono::milliseconds patience);

 private:
  int fd_ = -1;
  std::string pending_;
  int status_ = 0;
};

// One WebSocket client, with the subprotocols it offers.
class WebSocketClient {
 public:
  WebSocketClient(uint16_t port, const std::string& target, const std::vector<std::string>& protocols = {});
  ~WebSocketClient();
  const std::string& Protocol() const;  // the one the server answered
  std::optional<std::string> Next(std::chrono::milliseconds patience = 5s);
  void Send(const std::string& text);
  // The close code the server sent, 0 while none came.
  int CloseCode() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Many WebSocket and SSE streams, all read on one thread of their own.
class StreamClients {
 public:
  // Called on the clients' thread with the client's number (in the order
  // added) and each message: a WebSocket message, or an SSE event's data.
  using OnMessage = std::function<void(std::size_t client, const std::string& message)>;

  explicit StreamClients(OnMessage onMessage);
  // Closes every client.
  ~StreamClients();
  StreamClients(const StreamClients&) = delete;
  StreamClients& operator=(const StreamClients&) = delete;

  // Returns once the server accepted the upgrade; its number.
  std::size_t AddWebSocket(uint16_t port, const std::string& target,
                           const std::vector<std::string>& protocols = {"rdr.v1"});
  // Returns once the request is sent; its number.
  std::size_t AddServerSentEvents(uint16_t port, const std::string& target);

 private:
  struct Loop;
  std::unique_ptr<Loop> loop_;
  OnMessage onMessage_;
  std::size_t count_ = 0;
  std::thread thread_;
};

}  // namespace rdrtest
