#include "server.h"

// GCC 12 in C++20 needs <utility> before Asio's coroutine support.
#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <optional>
#include <set>
#include <utility>

#include "access.h"
#include "log.h"
#include "pages.h"

namespace rdrd {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

constexpr size_t kHeaderLimit = 8 * 1024;
constexpr auto kRequestPatience = std::chrono::seconds(30);
// Kept small so a client that stops reading shows in the write queue soon,
// not in the kernel's buffers.
constexpr int kStreamSendBuffer = 64 * 1024;

using Bytes = std::shared_ptr<const std::string>;

std::string SseFrame(std::string_view id, std::string_view type, std::string_view json) {
  std::string frame;
  if (!id.empty()) {
    frame += "id: ";
    frame += id;
    frame += '\n';
  }
  frame += "event: ";
  frame += type;
  frame += "\ndata: ";
  frame += json;
  frame += "\n\n";
  return frame;
}

std::string PeerName(const tcp::socket& socket) {
  beast::error_code error;
  const auto peer = socket.remote_endpoint(error);
  if (error) return "client ?";
  const auto address = peer.address();
  return "client " + (address.is_v6() ? "[" + address.to_string() + "]" : address.to_string()) + ":" +
         std::to_string(peer.port());
}

}  // namespace

// Anything the server can end at once: connections waiting for a request
// and streaming clients.
class Connection {
 public:
  virtual ~Connection() = default;
  virtual void Close() = 0;
};

class Streamer : public Connection {
 public:
  // `sseFrame` is the event's SSE frame, made by the first SSE client that
  // needs it and shared by the others; WebSocket clients send the JSON itself.
  virtual void Deliver(const EventPtr& event, Bytes& sseFrame) = 0;
};

struct ServerState : EventSink, std::enable_shared_from_this<ServerState> {
  ServerState(net::io_context& serverLoop, EventHub& eventHub, std::string serverVersion)
      : loop(serverLoop), hub(eventHub), version(std::move(serverVersion)) {
    hub.AddSink(this);
  }
  ~ServerState() override { hub.RemoveSink(this); }

  void OnEvent(const EventPtr& event) override {
    Bytes frame;
    // A client cut off while it takes the event leaves the set.
    const std::vector<Streamer*> targets(streamers.begin(), streamers.end());
    for (Streamer* streamer : targets) {
      if (streamers.count(streamer) != 0) streamer->Deliver(event, frame);
    }
  }

  void Accept(tcp::acceptor& acceptor);

  net::io_context& loop;
  EventHub& hub;
  std::string version;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
  std::vector<ListenAddress> bound;
  AccessPolicy policy;
  size_t maxClients = 256;
  size_t connections = 0;
  std::set<Connection*> live;
  std::set<Streamer*> streamers;
  ClientCounts counts;
};

namespace {

using Impl = ServerState;

// One place in max_clients, held by whichever object has the connection; it
// keeps the server's state alive while the loop still holds the connection.
class ClientSlot {
 public:
  explicit ClientSlot(std::shared_ptr<Impl> server) : server_(std::move(server)) { ++server_->connections; }
  ~ClientSlot() {
    if (server_ != nullptr) --server_->connections;
  }
  ClientSlot(ClientSlot&& other) noexcept : server_(std::move(other.server_)) {}
  ClientSlot(const ClientSlot&) = delete;
  ClientSlot& operator=(const ClientSlot&) = delete;
  ClientSlot& operator=(ClientSlot&&) = delete;
  bool OverLimit() const { return server_->connections > server_->maxClients; }

 private:
  std::shared_ptr<Impl> server_;
};

http::response<http::string_body> Response(http::status status, unsigned version, std::string body,
                                           std::string_view contentType, const Decision& decision) {
  http::response<http::string_body> response(status, version);
  response.set(http::field::server, "rdrd");
  response.set(http::field::content_type, beast::string_view(contentType.data(), contentType.size()));
  response.set(http::field::cache_control, "no-store");
  if (!decision.allowOrigin.empty()) {
    response.set(http::field::access_control_allow_origin, decision.allowOrigin);
    response.set(http::field::vary, "Origin");
  }
  response.body() = std::move(body);
  response.prepare_payload();
  return response;
}

// The write queue every streaming client has: bounded, and a client it
// cannot keep up with is cut off.
class WriteQueue {
 public:
  // False when the client is over its limit and must be cut.
  bool Push(Bytes bytes) {
    queued_ += bytes->size();
    items_.push_back(std::move(bytes));
    return queued_ <= kSlowClientLimit;
  }
  bool Empty() const { return items_.empty(); }
  size_t Size() const { return items_.size(); }
  const Bytes& Front() const { return items_.front(); }
  void Pop() {
    queued_ -= items_.front()->size();
    items_.pop_front();
  }

 private:
  std::deque<Bytes> items_;
  size_t queued_ = 0;
};

// Streaming clients' shared state: registration, the queue and the cut.
template <typename Derived>
class StreamerBase : public Streamer, public std::enable_shared_from_this<Derived> {
 public:
  StreamerBase(Impl& server, ClientSlot slot, std::string peer, size_t ClientCounts::*count)
      : slot_(std::move(slot)), server_(server), peer_(std::move(peer)), count_(count) {
    server_.live.insert(this);
    server_.streamers.insert(this);
    ++(server_.counts.*count_);
  }
  ~StreamerBase() override { Unregister(); }

  void Close() override {
    Unregister();
    static_cast<Derived*>(this)->CloseTransport();
  }

 protected:
  void Push(Bytes bytes) {
    if (closed_) return;
    if (!queue_.Push(std::move(bytes))) {
      Log(peer_ + " cut off: " + std::to_string(kSlowClientLimit) + " bytes wait for it");
      // What waited is lost to it; the one being written may have gone out in part.
      server_.hub.CountDrops("slow_client", queue_.Size() - (writing_ ? 1 : 0));
      Close();
      return;
    }
    if (ready_ && !writing_) WriteNext();
  }
  // Starts writing what waits; until then events only queue.
  void Ready() {
    ready_ = true;
    if (!writing_ && !queue_.Empty()) WriteNext();
  }
  void WriteNext() {
    writing_ = true;
    static_cast<Derived*>(this)->Write(queue_.Front(),
                                       [self = this->shared_from_this()](beast::error_code error, size_t) {
                                         self->writing_ = false;
                                         self->queue_.Pop();
                                         if (error) return self->Close();
                                         if (!self->closed_ && !self->queue_.Empty()) self->WriteNext();
                                       });
  }
  void Replay(const Decision& decision) {
    if (!decision.replay) return;
    const auto replay = server_.hub.ReplayFor(decision.since, decision.boot);
    if (replay.gap) static_cast<Derived*>(this)->PushGap(*replay.gap);
    for (const EventPtr& event : replay.events) {
      Bytes sseFrame;
      static_cast<Derived*>(this)->Deliver(event, sseFrame);
    }
  }

  ClientSlot slot_;  // first: it keeps server_ alive
  Impl& server_;
  std::string peer_;
  bool closed_ = false;

 private:
  void Unregister() {
    if (closed_) return;
    closed_ = true;
    Log(peer_ + " disconnected");
    server_.live.erase(this);
    server_.streamers.erase(this);
    --(server_.counts.*count_);
  }

  size_t ClientCounts::*count_;
  WriteQueue queue_;
  bool ready_ = false;
  bool writing_ = false;
};

class SseStreamer : public StreamerBase<SseStreamer> {
 public:
  SseStreamer(Impl& server, ClientSlot slot, beast::tcp_stream stream, std::string peer)
      : StreamerBase(server, std::move(slot), std::move(peer), &ClientCounts::sse), stream_(std::move(stream)) {}

  void Start(const Decision& decision) {
    stream_.expires_never();
    beast::error_code ignored;
    stream_.socket().set_option(net::socket_base::send_buffer_size(kStreamSendBuffer), ignored);
    std::string head =
        "HTTP/1.1 200 OK\r\nServer: rdrd\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
        "Connection: close\r\n";
    if (!decision.allowOrigin.empty()) {
      head += "Access-Control-Allow-Origin: " + decision.allowOrigin + "\r\nVary: Origin\r\n";
    }
    head += "\r\n";
    Push(std::make_shared<const std::string>(std::move(head)));
    Replay(decision);
    Ready();
    WatchForClose();
  }
  void Deliver(const EventPtr& event, Bytes& sseFrame) override {
    if (!sseFrame) {
      sseFrame = std::make_shared<const std::string>(SseFrame(std::to_string(event->seq), event->type, event->json));
    }
    Push(sseFrame);
  }
  void PushGap(const std::string& gap) { Push(std::make_shared<const std::string>(SseFrame("", "gap", gap))); }
  template <typename Handler>
  void Write(const Bytes& bytes, Handler&& handler) {
    net::async_write(stream_, net::buffer(*bytes), std::forward<Handler>(handler));
  }
  void CloseTransport() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

 private:
  // The client sends nothing more; a read ends when it goes away.
  void WatchForClose() {
    stream_.async_read_some(net::buffer(discard_), [self = shared_from_this()](beast::error_code error, size_t) {
      if (error) return self->Close();
      self->WatchForClose();
    });
  }

  beast::tcp_stream stream_;
  std::array<char, 512> discard_{};
};

class WebSocketStreamer : public StreamerBase<WebSocketStreamer> {
 public:
  static constexpr size_t kMessageLimit = 4096;

  WebSocketStreamer(Impl& server, ClientSlot slot, beast::tcp_stream stream, std::string peer)
      : StreamerBase(server, std::move(slot), std::move(peer), &ClientCounts::webSocket), socket_(std::move(stream)) {}

  void Start(const Decision& decision, http::request<http::empty_body> request) {
    beast::get_lowest_layer(socket_).expires_never();
    beast::error_code ignored;
    beast::get_lowest_layer(socket_).socket().set_option(net::socket_base::send_buffer_size(kStreamSendBuffer),
                                                         ignored);
    socket_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    socket_.read_message_max(kMessageLimit);
    socket_.set_option(websocket::stream_base::decorator([decision](websocket::response_type& response) {
      response.set(http::field::server, "rdrd");
      if (decision.answerSubprotocol) response.set(http::field::sec_websocket_protocol, "rdr.v1");
      if (!decision.allowOrigin.empty()) {
        response.set(http::field::access_control_allow_origin, decision.allowOrigin);
        response.set(http::field::vary, "Origin");
      }
    }));
    // Events queue from now on and go out once the handshake is done.
    Replay(decision);
    socket_.async_accept(request, [self = shared_from_this()](beast::error_code error) {
      if (error) return self->Close();
      self->Ready();
      self->ReadAndIgnore();
    });
  }
  void Deliver(const EventPtr& event, Bytes&) override { Push(Bytes(event, &event->json)); }
  void PushGap(const std::string& gap) { Push(std::make_shared<const std::string>(gap)); }
  template <typename Handler>
  void Write(const Bytes& bytes, Handler&& handler) {
    socket_.text(true);
    socket_.async_write(net::buffer(*bytes), std::forward<Handler>(handler));
  }
  void CloseTransport() {
    beast::error_code ignored;
    beast::get_lowest_layer(socket_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(socket_).close();
  }

 private:
  // Pings and closes are answered by the stream; anything else is dropped,
  // and a message over the limit ends the connection with 1009.
  void ReadAndIgnore() {
    socket_.async_read(incoming_, [self = shared_from_this()](beast::error_code error, size_t) {
      if (error) {
        if (error == websocket::error::message_too_big) Log(self->peer_ + " closed: message over 4 KiB");
        return self->Close();
      }
      self->incoming_.consume(self->incoming_.size());
      self->ReadAndIgnore();
    });
  }

  websocket::stream<beast::tcp_stream> socket_;
  beast::flat_buffer incoming_;
};

// A connection until its request says what it is: a page, a preflight, a
// stream, or a refusal.
class HttpConnection : public Connection, public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(const std::shared_ptr<Impl>& server, tcp::socket socket)
      : owner_(server), server_(*server), peer_(PeerName(socket)), stream_(std::move(socket)), slot_(server) {
    server_.live.insert(this);
  }
  ~HttpConnection() override { server_.live.erase(this); }

  void Start() { ReadRequest(); }
  void Close() override {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

 private:
  void ReadRequest() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(kHeaderLimit);
    stream_.expires_after(kRequestPatience);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code error, size_t) { self->OnRequest(error); });
  }

  void OnRequest(beast::error_code error) {
    if (error == http::error::header_limit)
      return Refuse(http::status::request_header_fields_too_large, "headers over 8 KiB");
    if (error == http::error::end_of_stream || error == net::error::eof || error == beast::error::timeout ||
        error == net::error::operation_aborted || error == net::error::connection_reset ||
        error == net::error::bad_descriptor) {
      return Close();
    }
    if (error) return Refuse(http::status::bad_request, "malformed request: " + error.message());
    if (slot_.OverLimit()) return Refuse(http::status::service_unavailable, "over max_clients");

    const auto& request = parser_->get();
    RequestHead head;
    head.method = std::string(request.method_string());
    head.target = std::string(request.target());
    for (auto [field, end] = request.equal_range(http::field::host); field != end; ++field) {
      head.hosts.emplace_back(field->value());
    }
    for (auto [field, end] = request.equal_range(http::field::origin); field != end; ++field) {
      head.origins.emplace_back(field->value());
    }
    head.authorization = std::string(request[http::field::authorization]);
    for (auto [field, end] = request.equal_range(http::field::sec_websocket_protocol); field != end; ++field) {
      if (!head.webSocketProtocols.empty()) head.webSocketProtocols += ',';
      head.webSocketProtocols += std::string(field->value());
    }
    head.lastEventId = std::string(request["Last-Event-ID"]);
    head.webSocketUpgrade = websocket::is_upgrade(request);
    head.preflight = request.method() == http::verb::options &&
                     request.find(http::field::access_control_request_method) != request.end();
    decision_ = Decide(head, server_.policy);
    if (decision_.status != 200) return Refuse(static_cast<http::status>(decision_.status), decision_.reason);

    switch (decision_.route) {
      case Route::Events:
        return StartStream<SseStreamer>("SSE");
      case Route::WebSocket:
        return StartStream<WebSocketStreamer>("WebSocket");
      case Route::Preflight:
        return Preflight(request);
      case Route::Info:
        return Answer(InfoPage(server_.hub, server_.version), "application/json");
      case Route::Readers:
        return Answer(ReadersPage(server_.hub), "application/json");
      case Route::Health:
        return Answer(HealthPage(server_.hub), "application/json");
      case Route::Metrics:
        return Answer(MetricsPage(server_.hub, server_.counts, server_.version), "text/plain; version=0.0.4");
    }
  }

  template <typename Kind>
  void StartStream(std::string_view transport) {
    Log(peer_ + " connected (" + std::string(transport) + ")");
    auto streamer = std::make_shared<Kind>(server_, std::move(slot_), std::move(stream_), peer_);
    if constexpr (std::is_same_v<Kind, WebSocketStreamer>) {
      streamer->Start(decision_, parser_->release());
    } else {
      streamer->Start(decision_);
    }
  }

  void Preflight(const http::request<http::empty_body>& request) {
    auto response = Response(http::status::no_content, request.version(), "", "text/plain", decision_);
    response.set(http::field::access_control_allow_methods, "GET, OPTIONS");
    response.set(http::field::access_control_allow_headers, "Authorization, Last-Event-ID");
    response.set("Access-Control-Allow-Private-Network", "true");
    response.set(http::field::access_control_max_age, "600");
    response.body().clear();
    response.prepare_payload();
    Send(std::move(response), request.keep_alive());
  }

  void Answer(std::string body, std::string_view contentType) {
    const auto& request = parser_->get();
    Send(Response(http::status::ok, request.version(), std::move(body), contentType, decision_), request.keep_alive());
  }

  void Refuse(http::status status, const std::string& reason) {
    Log(peer_ + " refused: " + std::to_string(static_cast<int>(status)) + " " + reason);
    nlohmann::ordered_json body = {{"error", reason}};
    const unsigned version = parser_ && parser_->is_header_done() ? parser_->get().version() : 11;
    Send(Response(status, version, body.dump(), "application/json", decision_), false);
  }

  void Send(http::response<http::string_body> response, bool keepAlive) {
    response.keep_alive(keepAlive);
    auto message = std::make_shared<http::response<http::string_body>>(std::move(response));
    http::async_write(stream_, *message,
                      [self = shared_from_this(), message, keepAlive](beast::error_code error, size_t) {
                        if (error || !keepAlive) return self->Close();
                        self->decision_ = Decision();
                        self->ReadRequest();
                      });
  }

  const std::shared_ptr<Impl> owner_;
  Impl& server_;
  std::string peer_;
  beast::tcp_stream stream_;
  ClientSlot slot_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  Decision decision_;
};

}  // namespace

void ServerState::Accept(tcp::acceptor& acceptor) {
  acceptor.async_accept(loop, [this, &acceptor](beast::error_code error, tcp::socket socket) {
    if (error == net::error::operation_aborted || !acceptor.is_open()) return;
    if (!error) {
      // Each event is one small write: Nagle's algorithm would hold it back
      // until the previous one is acknowledged.
      beast::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      std::make_shared<HttpConnection>(shared_from_this(), std::move(socket))->Start();
    }
    Accept(acceptor);
  });
}

HttpServer::HttpServer(net::io_context& loop, EventHub& hub, std::string version)
    : impl_(std::make_shared<ServerState>(loop, hub, std::move(version))) {}

HttpServer::~HttpServer() {
  Close();
  impl_->hub.RemoveSink(impl_.get());
}

std::vector<ListenAddress> HttpServer::Listen(const std::vector<ListenAddress>& addresses) {
  for (const auto& address : addresses) {
    beast::error_code error;
    const tcp::endpoint endpoint(net::ip::make_address(address.host, error), address.port);
    auto acceptor = std::make_unique<tcp::acceptor>(impl_->loop);
    auto fail = [&](std::string_view step) {
      throw std::runtime_error("cannot " + std::string(step) + " " + address.Text() + ": " + error.message());
    };
    if (error) fail("read the address");
    acceptor->open(endpoint.protocol(), error);
    if (error) fail("open a socket for");
    acceptor->set_option(net::socket_base::reuse_address(true), error);
    if (address.ipv6) acceptor->set_option(net::ip::v6_only(true), error);
    acceptor->bind(endpoint, error);
    if (error) fail("listen on");
    acceptor->listen(net::socket_base::max_listen_connections, error);
    if (error) fail("listen on");
    ListenAddress bound = address;
    bound.port = acceptor->local_endpoint().port();
    impl_->bound.push_back(bound);
    impl_->acceptors.push_back(std::move(acceptor));
  }
  for (auto& acceptor : impl_->acceptors) impl_->Accept(*acceptor);
  return impl_->bound;
}

void HttpServer::Configure(const Config& config) {
  impl_->policy = MakeAccessPolicy(config, impl_->bound);
  impl_->maxClients = config.maxClients;
}

void HttpServer::Close() {
  for (auto& acceptor : impl_->acceptors) {
    beast::error_code ignored;
    acceptor->close(ignored);
  }
  const std::vector<Connection*> open(impl_->live.begin(), impl_->live.end());
  for (Connection* connection : open) {
    if (impl_->live.count(connection) != 0) connection->Close();
  }
}

HttpServer::Clients HttpServer::StreamingClients() const { return {impl_->counts.sse, impl_->counts.webSocket}; }

}  // namespace rdrd
