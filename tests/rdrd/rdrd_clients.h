// rdrd as the tests meet it: the program started on a free loopback port,
// and its clients (plain HTTP, Server-Sent Events, WebSocket).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/child_process.h"

namespace rdrtest {

using namespace std::chrono_literals;

// rdrd with `arguments`, listening on 127.0.0.1 on a port the system chose.
class Rdrd {
 public:
  explicit Rdrd(std::vector<std::string> arguments, const std::vector<std::string>& environment = {});
  uint16_t Port() const { return port_; }
  std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }
  // Reads the log until a line holds `text`; that line, or nullopt.
  std::optional<std::string> WaitForLog(const std::string& text, std::chrono::milliseconds patience = 5s);
  ChildProcess& Process() { return process_; }

 private:
  ChildProcess process_;
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
  bool Fill(std::chrono::milliseconds patience);
  int fd_ = -1;
  std::string pending_;
  int status_ = 0;
};

// One WebSocket client (Boost.Beast), with the subprotocols it offers.
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

}  // namespace rdrtest
