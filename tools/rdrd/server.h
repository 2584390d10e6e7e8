// The HTTP side of rdrd: SSE, WebSocket and the status pages on the one loop
// thread, each streaming client with its own bounded write queue.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "hub.h"

namespace boost::asio {
class io_context;
}

namespace rdrd {

struct ServerState;

// What waits for one streaming client before it is cut off as too slow.
constexpr size_t kSlowClientLimit = 1 << 20;

class HttpServer {
 public:
  HttpServer(boost::asio::io_context& loop, EventHub& hub, std::string version);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens on every address and returns them as bound (port 0 becomes the
  // port the system gave). Throws std::runtime_error naming the address.
  std::vector<ListenAddress> Listen(const std::vector<ListenAddress>& addresses);
  // Takes the origins, the token and the client limit (again on reload).
  void Configure(const Config& config);
  // Stops accepting and ends every connection.
  void Close();

  struct Clients {
    size_t sse = 0;
    size_t webSocket = 0;
  };
  Clients StreamingClients() const;

 private:
  std::shared_ptr<ServerState> impl_;
};

}  // namespace rdrd
