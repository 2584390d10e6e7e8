// Clients of rdrd on 127.0.0.1 for its tests and benchmarks: WebSocket and
// Server-Sent Events streams, all read on one thread of their own, and a
// plain GET. Connecting happens on the calling thread and throws
// std::runtime_error (or boost::system::system_error) on a refusal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace rdrtest {

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

  // Returns once the server accepted the upgrade; its number. Empty
  // `subprotocols` asks for none.
  std::size_t AddWebSocket(uint16_t port, const std::string& target, const std::string& subprotocols = "rdr.v1");
  // Returns once the request is sent; its number.
  std::size_t AddServerSentEvents(uint16_t port, const std::string& target);

 private:
  struct Loop;
  std::unique_ptr<Loop> loop_;
  OnMessage onMessage_;
  std::size_t count_ = 0;
  std::thread thread_;
};

// The body of GET `target` on 127.0.0.1:`port`, after a 200.
std::string HttpGet(uint16_t port, const std::string& target);

}  // namespace rdrtest
