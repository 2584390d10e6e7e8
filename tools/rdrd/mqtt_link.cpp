#include "mqtt_link.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <mutex>
#include <stdexcept>

#include "broker_url.h"

namespace rdrd {

namespace asio = boost::asio;

namespace {

constexpr std::chrono::seconds kTickPeriod{1};

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

void RequireTopicLevel(std::string_view what, std::string_view text, bool slashAllowed) {
  if (text.empty() || text.find_first_of(slashAllowed ? "+#" : "+#/") != std::string_view::npos ||
      text.find('\0') != std::string_view::npos) {
    throw std::invalid_argument(std::string(what) + " \"" + std::string(text) + "\" cannot be part of an MQTT topic");
  }
}

std::string ErrorText(int result) {
  return result == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(result);
}

}  // namespace

void MqttSettings::SetUrl(std::string_view url) {
  try {
    BrokerAddress address = ParseBrokerUrl(url);
    host = std::move(address.host);
    port = address.port;
  } catch (const std::invalid_argument& error) {
    throw std::invalid_argument("MQTT URL \"" + std::string(url) + "\": " + error.what());
  }
}

void MqttLink::ClientDeleter::operator()(mosquitto* client) const noexcept { mosquitto_destroy(client); }

MqttLink::MqttLink(asio::io_context& io, const EventBacklog& backlog, MqttSettings settings, uint64_t deliveredThrough)
    : backlog_(backlog),
      settings_(std::move(settings)),
      resolver_(io),
      socket_(io),
      tickTimer_(io),
      retryTimer_(io),
      nextRetry_(settings_.firstRetry),
      head_(deliveredThrough),
      sentThrough_(deliveredThrough),
      deliveredThrough_(deliveredThrough) {
  RequireTopicLevel("topic prefix", settings_.topicPrefix, true);
  RequireTopicLevel("server id", settings_.serverId, false);
  serviceTopic_ = settings_.topicPrefix + "/service/" + settings_.serverId;
  InitLibrary();
  Tick();
  Resolve();
}

MqttLink::~MqttLink() {
  ++attempt_;
  resolver_.cancel();
  tickTimer_.cancel();
  retryTimer_.cancel();
  // libmosquitto owns the descriptor and closes it with the client.
  if (socket_.is_open()) socket_.release();
}

void MqttLink::Say(std::string_view text) const {
  if (settings_.log) {
    settings_.log(text);
  } else {
    std::cerr << "rdrd: mqtt: " << text << '\n';
  }
}

std::string MqttLink::Topic(std::string_view reader, std::string_view leaf) const {
  std::string topic = settings_.topicPrefix;
  topic.append("/").append(reader).append("/").append(leaf);
  return topic;
}

void MqttLink::Resolve() {
  connection_ = Connection::Connecting;
  attemptStarted_ = std::chrono::steady_clock::now();
  resolver_.async_resolve(settings_.host, std::to_string(settings_.port), asio::ip::tcp::resolver::numeric_service,
                          [this, attempt = attempt_](boost::system::error_code error, auto results) {
                            if (error == asio::error::operation_aborted || attempt != attempt_) return;
                            if (error || results.empty()) {
                              Drop("cannot resolve " + settings_.host + ": " + error.message());
                              return;
                            }
                            Connect(results.begin()->endpoint().address().to_string());
                          });
}

void MqttLink::Connect(const std::string& address) {
  const std::string clientId = "rdrd-" + settings_.serverId;
  client_.reset(mosquitto_new(clientId.c_str(), true, this));
  if (!client_) {
    Drop("cannot create a client: " + std::string(std::strerror(errno)));
    return;
  }
  mosquitto_int_option(client_.get(), MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  // One code is one small packet: Nagle would hold it back for the broker's ACK.
  mosquitto_int_option(client_.get(), MOSQ_OPT_TCP_NODELAY, 1);
  // Room for the window and the status messages beside it, so that the
  // library never holds publications back in a queue of its own.
  mosquitto_int_option(client_.get(), MOSQ_OPT_SEND_MAXIMUM, static_cast<int>(settings_.window * 2 + 16));
  static constexpr std::string_view kOffline = "offline";
  mosquitto_will_set(client_.get(), serviceTopic_.c_str(), static_cast<int>(kOffline.size()), kOffline.data(), 1, true);
  mosquitto_connect_callback_set(
      client_.get(), [](mosquitto*, void* self, int code) { static_cast<MqttLink*>(self)->OnConnect(code); });
  mosquitto_publish_callback_set(client_.get(),
                                 [](mosquitto*, void* self, int id) { static_cast<MqttLink*>(self)->OnPublish(id); });
  const int result = mosquitto_connect_bind_async(client_.get(), address.c_str(), settings_.port,
                                                  static_cast<int>(settings_.keepalive.count()), nullptr);
  if (result != MOSQ_ERR_SUCCESS || mosquitto_socket(client_.get()) < 0) {
    Drop("cannot connect: " + ErrorText(result));
    return;
  }
  socket_.assign(mosquitto_socket(client_.get()));
  WaitReadable();
  WaitWritable();
}

void MqttLink::WaitReadable() {
  socket_.async_wait(asio::posix::descriptor_base::wait_read,
                     [this, attempt = attempt_](boost::system::error_code error) {
                       if (error == asio::error::operation_aborted || attempt != attempt_) return;
                       Check(mosquitto_loop_read(client_.get(), 1), "read");
                       if (attempt == attempt_) WaitReadable();
                     });
}

void MqttLink::WaitWritable() {
  if (writeWaiting_ || !client_ || !mosquitto_want_write(client_.get())) return;
  writeWaiting_ = true;
  socket_.async_wait(asio::posix::descriptor_base::wait_write,
                     [this, attempt = attempt_](boost::system::error_code error) {
                       if (error == asio::error::operation_aborted || attempt != attempt_) return;
                       writeWaiting_ = false;
                       Check(mosquitto_loop_write(client_.get(), 1), "write");
                     });
}

void MqttLink::Tick() {
  if (client_ && connection_ == Connection::Connecting &&
      std::chrono::steady_clock::now() - attemptStarted_ > settings_.connectTimeout) {
    Drop("no answer from the broker");
  } else if (client_ && connection_ == Connection::Connected) {
    Check(mosquitto_loop_misc(client_.get()), "keepalive");
  }
  tickTimer_.expires_after(kTickPeriod);
  tickTimer_.async_wait([this](boost::system::error_code error) {
    if (!error) Tick();
  });
}

void MqttLink::Check(int result, std::string_view what) {
  if (!client_) return;
  if (!dropReason_.empty()) {
    Drop(std::exchange(dropReason_, {}));
  } else if (result != MOSQ_ERR_SUCCESS) {
    Drop(std::string(what) + ": " + ErrorText(result));
  } else if (mosquitto_socket(client_.get()) < 0) {
    Drop(std::string(what) + ": connection closed");
  } else {
    WaitWritable();
  }
}

void MqttLink::Drop(std::string reason) {
  if (connection_ == Connection::Stopped) return;
  const bool wasConnected = connection_ == Connection::Connected;
  ++attempt_;
  writeWaiting_ = false;
  if (socket_.is_open()) socket_.release();
  client_.reset();
  // Unacknowledged events go out again on the next connection, in order; the
  // broker may then see some twice, as QoS 1 allows.
  inFlight_.clear();
  sentThrough_ = deliveredThrough_;
  connection_ = Connection::Unreachable;
  if (wasConnected || reason != lastError_) {
    Say((wasConnected ? "lost broker " : "broker ") + settings_.host + ":" + std::to_string(settings_.port) + ": " +
        reason + "; events wait in the backlog");
  }
  lastError_ = std::move(reason);
  RetryLater();
}

void MqttLink::RetryLater() {
  retryTimer_.expires_after(nextRetry_);
  nextRetry_ = std::min(nextRetry_ * 2, settings_.lastRetry);
  retryTimer_.async_wait([this](boost::system::error_code error) {
    if (!error) Resolve();
  });
}

void MqttLink::OnConnect(int code) {
  if (code != 0) {
    dropReason_ = std::string("refused: ") + mosquitto_connack_string(code);
    return;
  }
  connection_ = Connection::Connected;
  ++connects_;
  nextRetry_ = settings_.firstRetry;
  lastError_.clear();
  Say("connected to " + settings_.host + ":" + std::to_string(settings_.port));
  static const std::string kOnline = "online";
  if (!Publish(serviceTopic_, kOnline, true, nullptr)) return;
  for (const auto& [reader, status] : statuses_) {
    if (!Publish(Topic(reader, "status"), *status, true, nullptr)) return;
  }
  Pump();
}

void MqttLink::OnPublish(int id) {
  const auto found = inFlight_.find(id);
  if (found == inFlight_.end()) return;
  inFlight_.erase(found);
  ++delivered_;
  deliveredThrough_ = sentThrough_;
  for (const auto& [otherId, seq] : inFlight_) deliveredThrough_ = std::min(deliveredThrough_, seq - 1);
  // Refilled by halves: each refill reads the backlog, which is long after an outage.
  if (inFlight_.size() <= settings_.window / 2) Pump();
}

bool MqttLink::Publish(const std::string& topic, const std::string& payload, bool retain, int* id) {
  const int result =
      mosquitto_publish(client_.get(), id, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
  if (result != MOSQ_ERR_SUCCESS && dropReason_.empty()) dropReason_ = "publish: " + ErrorText(result);
  return result == MOSQ_ERR_SUCCESS;
}

void MqttLink::Pump() {
  while (connection_ == Connection::Connected && dropReason_.empty() && inFlight_.size() < settings_.window) {
    const std::vector<LinkEvent> events = backlog_.EventsAfter(sentThrough_, settings_.window - inFlight_.size());
    if (events.empty()) return;
    for (const LinkEvent& event : events) {
      if (event.seq > sentThrough_ + 1) {
        lost_ += event.seq - sentThrough_ - 1;
        if (settings_.lost) settings_.lost(event.seq - sentThrough_ - 1);
      }
      int id = 0;
      if (!Publish(Topic(event.reader, "events"), *event.bytes, false, &id)) return;
      inFlight_[id] = event.seq;
      sentThrough_ = event.seq;
      head_ = std::max(head_, event.seq);
      if (event.status) {
        statuses_[event.reader] = event.bytes;
        if (!Publish(Topic(event.reader, "status"), *event.bytes, true, nullptr)) return;
      }
    }
  }
}

void MqttLink::Notify(uint64_t seq) {
  head_ = std::max(head_, seq);
  if (connection_ != Connection::Connected) return;
  Pump();
  Check(MOSQ_ERR_SUCCESS, "publish");
}

void MqttLink::Stop() {
  if (connection_ == Connection::Connected) {
    static const std::string kOffline = "offline";
    if (Publish(serviceTopic_, kOffline, true, nullptr)) {
      // The socket is non-blocking: what the kernel does not take now is
      // left, and the broker's will says "offline" all the same.
      for (int round = 0; round < 8 && mosquitto_want_write(client_.get()); ++round) {
        if (mosquitto_loop_write(client_.get(), 1) != MOSQ_ERR_SUCCESS) break;
      }
      mosquitto_disconnect(client_.get());
    }
  }
  connection_ = Connection::Stopped;
  ++attempt_;
  resolver_.cancel();
  tickTimer_.cancel();
  retryTimer_.cancel();
  if (socket_.is_open()) socket_.release();
  client_.reset();
}

MqttLinkState MqttLink::State() const {
  MqttLinkState state;
  switch (connection_) {
    case Connection::Connecting:
      state.connection = "connecting";
      break;
    case Connection::Connected:
      state.connection = "connected";
      break;
    case Connection::Unreachable:
      state.connection = "unreachable";
      break;
    case Connection::Stopped:
      state.connection = "stopped";
      break;
  }
  state.broker = settings_.host + ":" + std::to_string(settings_.port);
  state.lastError = lastError_;
  state.deliveredThrough = deliveredThrough_;
  state.pending = head_ > deliveredThrough_ ? head_ - deliveredThrough_ : 0;
  state.delivered = delivered_;
  state.lost = lost_;
  state.connects = connects_;
  return state;
}

void MqttLink::AppendMetrics(std::string& out) const {
  const MqttLinkState state = State();
  const auto family = [&](std::string_view name, std::string_view type, std::string_view help, uint64_t value) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ").append(name).append(" ");
    out.append(type).append("\n").append(name).append(" ").append(std::to_string(value)).append("\n");
  };
  family("rdr_mqtt_connected", "gauge", "Whether the broker connection is up.", connection_ == Connection::Connected);
  family("rdr_mqtt_connects_total", "counter", "Connections the broker accepted.", state.connects);
  family("rdr_mqtt_events_delivered_total", "counter", "Events the broker acknowledged.", state.delivered);
  family("rdr_mqtt_events_pending", "gauge", "Events waiting for the broker's acknowledgement.", state.pending);
  family("rdr_mqtt_events_lost_total", "counter", "Events gone from the backlog before the broker took them.",
         state.lost);
}

}  // namespace rdrd
