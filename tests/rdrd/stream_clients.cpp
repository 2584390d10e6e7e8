// The only file of the test clients that includes Boost.Beast.
#include "stream_clients.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <stdexcept>
#include <utility>  // before Asio's headers, for GCC 12 in C++20

namespace rdrtest {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

tcp::endpoint Loopback(uint16_t port) { return {net::ip::make_address_v4("127.0.0.1"), port}; }
std::string HostHeader(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

struct WebSocketReader : std::enable_shared_from_this<WebSocketReader> {
  WebSocketReader(net::io_context& io, std::size_t number, const StreamClients::OnMessage& deliver)
      : stream(io), index(number), onMessage(deliver) {}
  void Read() {
    stream.async_read(buffer, [self = shared_from_this()](beast::error_code error, std::size_t) {
      if (error) return;
      self->onMessage(self->index, beast::buffers_to_string(self->buffer.data()));
      self->buffer.consume(self->buffer.size());
      self->Read();
    });
  }
  websocket::stream<tcp::socket> stream;
  beast::flat_buffer buffer;
  std::size_t index;
  const StreamClients::OnMessage& onMessage;
};

// A stream of "id:", "event:" and "data:" lines, each event ended by an empty line.
struct EventStreamReader : std::enable_shared_from_this<EventStreamReader> {
  EventStreamReader(net::io_context& io, std::size_t number, const StreamClients::OnMessage& deliver)
      : socket(io), index(number), onMessage(deliver) {}
  void Read() {
    socket.async_read_some(net::buffer(chunk), [self = shared_from_this()](beast::error_code error, std::size_t got) {
      if (error) return;
      self->Take(std::string_view(self->chunk.data(), got));
      self->Read();
    });
  }
  void Take(std::string_view bytes) {
    received.append(bytes);
    if (!headerDone) {
      const auto end = received.find("\r\n\r\n");
      if (end == std::string::npos) return;
      received.erase(0, end + 4);
      headerDone = true;
    }
    for (std::size_t end; (end = received.find("\n\n")) != std::string::npos;) {
      const std::string frame = received.substr(0, end + 1);
      received.erase(0, end + 2);
      std::string data;
      for (std::size_t start = 0, next; (next = frame.find('\n', start)) != std::string::npos; start = next + 1) {
        const std::string_view line(frame.data() + start, next - start);
        if (line.starts_with("data:")) data.append(line.substr(line.starts_with("data: ") ? 6 : 5));
      }
      onMessage(index, data);
    }
  }
  tcp::socket socket;
  std::array<char, 65536> chunk{};
  std::string received;
  bool headerDone = false;
  std::size_t index;
  const StreamClients::OnMessage& onMessage;
};

}  // namespace

struct StreamClients::Loop {
  net::io_context io{1};
  net::executor_work_guard<net::io_context::executor_type> work = net::make_work_guard(io);
  std::vector<std::shared_ptr<void>> readers;
};

StreamClients::StreamClients(OnMessage onMessage)
    : loop_(std::make_unique<Loop>()), onMessage_(std::move(onMessage)), thread_([this] { loop_->io.run(); }) {}

StreamClients::~StreamClients() {
  loop_->work.reset();
  loop_->io.stop();
  thread_.join();
}

std::size_t StreamClients::AddWebSocket(uint16_t port, const std::string& target, const std::string& subprotocols) {
  auto reader = std::make_shared<WebSocketReader>(loop_->io, count_, onMessage_);
  reader->stream.next_layer().connect(Loopback(port));
  reader->stream.next_layer().set_option(tcp::no_delay(true));
  reader->stream.set_option(websocket::stream_base::decorator([&](websocket::request_type& request) {
    if (!subprotocols.empty()) request.set(http::field::sec_websocket_protocol, subprotocols);
  }));
  reader->stream.handshake(HostHeader(port), target);
  loop_->readers.push_back(reader);
  net::post(loop_->io, [reader] { reader->Read(); });
  return count_++;
}

std::size_t StreamClients::AddServerSentEvents(uint16_t port, const std::string& target) {
  auto reader = std::make_shared<EventStreamReader>(loop_->io, count_, onMessage_);
  reader->socket.connect(Loopback(port));
  reader->socket.set_option(tcp::no_delay(true));
  const std::string request = "GET " + target + " HTTP/1.1\r\nHost: " + HostHeader(port) + "\r\n\r\n";
  net::write(reader->socket, net::buffer(request));
  loop_->readers.push_back(reader);
  net::post(loop_->io, [reader] { reader->Read(); });
  return count_++;
}

std::string HttpGet(uint16_t port, const std::string& target) {
  net::io_context io;
  beast::tcp_stream stream(io);
  stream.connect(Loopback(port));
  http::request<http::empty_body> request(http::verb::get, target, 11);
  request.set(http::field::host, HostHeader(port));
  http::write(stream, request);
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(stream, buffer, response);
  if (response.result() != http::status::ok) {
    throw std::runtime_error("GET " + target + ": " + std::to_string(response.result_int()));
  }
  return response.body();
}

}  // namespace rdrtest
