// The only file of the harness that includes Boost.Beast.
#include "rdrd_harness.h"

// GCC 12 in C++20 needs <utility> before Asio's coroutine support.
#include <utility>
//
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <fstream>
#include <stdexcept>

namespace rdrtest {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

std::string HostHeader(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }
tcp::endpoint Loopback(uint16_t port) { return {net::ip::address_v4::loopback(), port}; }

std::string EventStreamRequest(uint16_t port, const std::string& target, const std::string& fields) {
  return "GET " + target + " HTTP/1.1\r\nHost: " + HostHeader(port) + "\r\n" + fields + "\r\n";
}

// The data of one event ("id:", "event:" and "data:" lines), its lines joined.
std::string EventData(std::string_view frame) {
  std::string data;
  for (std::size_t start = 0, next; (next = frame.find('\n', start)) != std::string_view::npos; start = next + 1) {
    const std::string_view line = frame.substr(start, next - start);
    if (line.starts_with("data:")) data.append(line.substr(line.starts_with("data: ") ? 6 : 5));
  }
  return data;
}

// Takes the first whole event from `pending`: its data, or nullopt while none
// has come whole.
std::optional<std::string> TakeEvent(std::string& pending) {
  const std::size_t end = pending.find("\n\n");
  if (end == std::string::npos) return std::nullopt;
  std::string data = EventData(std::string_view(pending).substr(0, end + 1));
  pending.erase(0, end + 2);
  return data;
}

using WebSocket = websocket::stream<tcp::socket>;

// Connects and upgrades; the subprotocol the server answered.
std::string OpenWebSocket(WebSocket& stream, uint16_t port, const std::string& target,
                          const std::vector<std::string>& protocols) {
  stream.next_layer().connect(Loopback(port));
  stream.next_layer().set_option(tcp::no_delay(true));
  std::string offered;
  for (const auto& protocol : protocols) offered += (offered.empty() ? "" : ", ") + protocol;
  stream.set_option(websocket::stream_base::decorator([offered](websocket::request_type& request) {
    if (!offered.empty()) request.set(beast::http::field::sec_websocket_protocol, offered);
  }));
  websocket::response_type response;
  stream.handshake(response, HostHeader(port), target);
  return std::string(response[beast::http::field::sec_websocket_protocol]);
}

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

Rdrd::Rdrd(std::vector<std::string> arguments, const std::vector<std::string>& environment) {
  Start(std::move(arguments), environment);
}

Rdrd::Rdrd(const RdrdConfig& configuration) {
  const std::string file = (dir_.Path() / "rdrd.toml").string();
  std::ofstream(file) << "listen = [\"127.0.0.1:0\"]\n" << configuration.toml;
  Start({"--config", file}, {});
}

Rdrd::~Rdrd() {
  process_->Signal(SIGTERM);
  process_->Wait();
}

void Rdrd::Start(std::vector<std::string> arguments, const std::vector<std::string>& environment) {
  arguments.insert(arguments.begin(), RDRD_EXECUTABLE);
  process_ = std::make_unique<ChildProcess>(arguments, environment);
  constexpr std::string_view kListening = "listening on 127.0.0.1:";
  std::string said;
  while (const auto line = process_->ReadErrorLine(5s)) {
    if (const auto at = line->find(kListening); at != std::string::npos) {
      port_ = static_cast<uint16_t>(std::stoi(line->substr(at + kListening.size())));
      return;
    }
    said += *line + "\n";
  }
  throw std::runtime_error("rdrd did not start listening: " + said);
}

std::optional<std::string> Rdrd::WaitForLog(const std::string& text, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (std::chrono::steady_clock::now() < deadline) {
    auto line = process_->ReadErrorLine(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
    if (!line) return std::nullopt;
    if (line->find(text) != std::string::npos) return line;
  }
  return std::nullopt;
}

bool Rdrd::WaitForReadersUp(std::vector<std::string> readers) {
  while (!readers.empty()) {
    const auto line = WaitForLog(": Ok");
    if (!line) return false;
    std::erase_if(readers, [&](const auto& id) { return line->ends_with("reader " + id + ": Ok"); });
  }
  return true;
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
  return SendRaw(
      port, "GET " + target + " HTTP/1.1\r\nHost: " + HostHeader(port) + "\r\n" + fields + "Connection: close\r\n\r\n");
}

std::string GetBody(uint16_t port, const std::string& target) {
  HttpReply reply = Get(port, target);
  if (reply.status != 200) throw std::runtime_error("GET " + target + ": " + std::to_string(reply.status));
  return std::move(reply.body);
}

SseClient::SseClient(uint16_t port, const std::string& target, const std::string& fields, int receiveBuffer)
    : fd_(Connect(port, receiveBuffer)) {
  SendAll(fd_, EventStreamRequest(port, target, fields));
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
    if (auto data = TakeEvent(pending_)) {
      if (data->empty()) continue;  // a comment or a keep-alive
      return data;
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

struct WebSocketClient::State {
  net::io_context loop;
  WebSocket socket{loop};
  beast::flat_buffer incoming;
  std::string protocol;
  bool reading = false;
  std::optional<std::string> message;
  int closeCode = 0;
};

WebSocketClient::WebSocketClient(uint16_t port, const std::string& target, const std::vector<std::string>& protocols)
    : state_(std::make_unique<State>()) {
  state_->protocol = OpenWebSocket(state_->socket, port, target, protocols);
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

namespace {

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
  WebSocket stream;
  beast::flat_buffer buffer;
  std::size_t index;
  const StreamClients::OnMessage& onMessage;
};

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
    while (auto data = TakeEvent(received)) onMessage(index, *data);
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

std::size_t StreamClients::AddWebSocket(uint16_t port, const std::string& target,
                                        const std::vector<std::string>& protocols) {
  auto reader = std::make_shared<WebSocketReader>(loop_->io, count_, onMessage_);
  OpenWebSocket(reader->stream, port, target, protocols);
  loop_->readers.push_back(reader);
  net::post(loop_->io, [reader] { reader->Read(); });
  return count_++;
}

std::size_t StreamClients::AddServerSentEvents(uint16_t port, const std::string& target) {
  auto reader = std::make_shared<EventStreamReader>(loop_->io, count_, onMessage_);
  reader->socket.connect(Loopback(port));
  reader->socket.set_option(tcp::no_delay(true));
  net::write(reader->socket, net::buffer(EventStreamRequest(port, target, "")));
  loop_->readers.push_back(reader);
  net::post(loop_->io, [reader] { reader->Read(); });
  return count_++;
}

}  // namespace rdrtest
