#include "rdrd/rdrd_clients.h"

// GCC 12 in C++20 needs <utility> before Asio's coroutine support.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <stdexcept>
#include <utility>

namespace rdrtest {
namespace {

int Connect(uint16_t port, int receiveBuffer) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot connect to rdrd");
  }
  return fd;
}

void SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;  // the server may refuse before it read everything
    sent += static_cast<size_t>(n);
  }
}

// Appends what arrives within `patience`; false at the end or the deadline.
bool ReadSome(int fd, std::string& into, std::chrono::milliseconds patience) {
  pollfd ready{fd, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(patience.count())) <= 0) return false;
  char buffer[16384];
  const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
  if (got <= 0) return false;
  into.append(buffer, static_cast<size_t>(got));
  return true;
}

int StatusOf(const std::string& head) { return head.size() > 12 ? std::stoi(head.substr(9, 3)) : 0; }

}  // namespace

Rdrd::Rdrd(std::vector<std::string> arguments, const std::vector<std::string>& environment)
    : process_(
          [&] {
            arguments.insert(arguments.begin(), RDRD_EXECUTABLE);
            return arguments;
          }(),
          environment) {
  const auto line = WaitForLog("listening on 127.0.0.1:");
  if (!line) throw std::runtime_error("rdrd did not start listening");
  port_ = static_cast<uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)));
}

std::optional<std::string> Rdrd::WaitForLog(const std::string& text, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (std::chrono::steady_clock::now() < deadline) {
    auto line = process_.ReadErrorLine(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
    if (!line) return std::nullopt;
    if (line->find(text) != std::string::npos) return line;
  }
  return std::nullopt;
}

HttpReply SendRaw(uint16_t port, const std::string& request) {
  const int fd = Connect(port, 0);
  SendAll(fd, request);
  // To the connection's end or the end of the body its length announces.
  std::string all;
  size_t end = std::string::npos;
  size_t length = 0;
  while ((end == std::string::npos || all.size() < end + 4 + length) && ReadSome(fd, all, 5s)) {
    end = all.find("\r\n\r\n");
    const size_t field = all.find("Content-Length: ");
    if (end != std::string::npos && field < end) length = std::stoul(all.substr(field + 16));
  }
  ::close(fd);
  HttpReply reply;
  reply.head = all.substr(0, end);
  reply.body = end == std::string::npos ? "" : all.substr(end + 4);
  reply.status = StatusOf(reply.head);
  return reply;
}

HttpReply Get(uint16_t port, const std::string& target, const std::string& fields) {
  return SendRaw(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + fields +
                           "Connection: close\r\n\r\n");
}

SseClient::SseClient(uint16_t port, const std::string& target, const std::string& fields, int receiveBuffer)
    : fd_(Connect(port, receiveBuffer)) {
  SendAll(fd_, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + fields + "\r\n");
}

SseClient::~SseClient() { ::close(fd_); }

int SseClient::Status() {
  while (status_ == 0) {
    const size_t end = pending_.find("\r\n\r\n");
    if (end != std::string::npos) {
      status_ = StatusOf(pending_);
      pending_.erase(0, end + 4);
    } else if (!ReadSome(fd_, pending_, 5s)) {
      status_ = -1;
    }
  }
  return status_;
}

std::optional<std::string> SseClient::Next(std::chrono::milliseconds patience) {
  if (Status() != 200) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    const size_t end = pending_.find("\n\n");
    if (end != std::string::npos) {
      const std::string block = pending_.substr(0, end + 1);
      pending_.erase(0, end + 2);
      const size_t data = block.find("data: ");
      if (data == std::string::npos) continue;
      return block.substr(data + 6, block.find('\n', data) - data - 6);
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !ReadSome(fd_, pending_, left)) return std::nullopt;
  }
}

bool SseClient::Ended(std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, 100) <= 0) continue;
    char buffer[65536];
    if (::recv(fd_, buffer, sizeof buffer, 0) <= 0) return true;
  }
  return false;
}

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

struct WebSocketClient::State {
  net::io_context loop;
  websocket::stream<beast::tcp_stream> socket{loop};
  beast::flat_buffer incoming;
  std::string protocol;
  bool reading = false;
  std::optional<std::string> message;
  int closeCode = 0;
};

WebSocketClient::WebSocketClient(uint16_t port, const std::string& target, const std::vector<std::string>& protocols)
    : state_(std::make_unique<State>()) {
  beast::get_lowest_layer(state_->socket).connect(net::ip::tcp::endpoint(net::ip::address_v4::loopback(), port));
  std::string offered;
  for (const auto& protocol : protocols) offered += (offered.empty() ? "" : ", ") + protocol;
  state_->socket.set_option(websocket::stream_base::decorator([offered](websocket::request_type& request) {
    if (!offered.empty()) request.set(beast::http::field::sec_websocket_protocol, offered);
  }));
  websocket::response_type response;
  state_->socket.handshake(response, "127.0.0.1:" + std::to_string(port), target);
  state_->protocol = std::string(response[beast::http::field::sec_websocket_protocol]);
}

WebSocketClient::~WebSocketClient() = default;

const std::string& WebSocketClient::Protocol() const { return state_->protocol; }

std::optional<std::string> WebSocketClient::Next(std::chrono::milliseconds patience) {
  State& state = *state_;
  if (!state.reading) {
    state.reading = true;
    state.socket.async_read(state.incoming, [&state](beast::error_code error, size_t) {
      state.reading = false;
      if (error) {
        state.closeCode = state.socket.reason().code;
        return;
      }
      state.message = beast::buffers_to_string(state.incoming.data());
      state.incoming.consume(state.incoming.size());
    });
  }
  state.loop.restart();
  state.loop.run_for(patience);
  return std::exchange(state.message, std::nullopt);
}

void WebSocketClient::Send(const std::string& text) {
  beast::error_code ignored;
  state_->socket.text(true);
  state_->socket.write(net::buffer(text), ignored);
}

int WebSocketClient::CloseCode() const { return state_->closeCode; }

}  // namespace rdrtest
