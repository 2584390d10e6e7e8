// rdrd's connection to an MQTT broker: one libmosquitto client driven by the
// service's io_context through mosquitto's external-loop calls, so the broker
// needs no thread of its own.
//
// Everything here runs on the io_context's thread: the constructor, Notify(),
// Stop(), the status calls and every handler. Nothing blocks; a broker that
// cannot be reached only makes events wait in the hub's backlog, from which
// the link takes them again, in seq order, once the broker is back.
//
// Topics, below the configured prefix:
//   PREFIX/READER/events      every event, QoS 1, never retained
//   PREFIX/READER/status      the reader's latest status event, QoS 1, retained
//   PREFIX/service/SERVER_ID  "online", retained; "offline" as the will and on Stop()
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct mosquitto;

namespace rdrd {

// One event as the hub keeps it: the bytes are those every channel sends.
struct LinkEvent {
  uint64_t seq = 0;
  std::string reader;
  // A reader's status event, which also becomes its retained status.
  bool status = false;
  std::shared_ptr<const std::string> bytes;
};

// What the link reads the hub's backlog through. Called on the io thread;
// must not block.
class EventBacklog {
 public:
  virtual ~EventBacklog() = default;
  // Up to `limit` events with a seq above `seq`, oldest first. Events the
  // backlog no longer holds are simply absent: the first one returned may
  // then lie more than one above `seq`.
  virtual std::vector<LinkEvent> EventsAfter(uint64_t seq, std::size_t limit) const = 0;
};

struct MqttSettings {
  std::string host = "127.0.0.1";
  uint16_t port = 1883;
  std::string topicPrefix = "rdr00800";
  std::string serverId;
  std::chrono::seconds keepalive{30};
  // Waits between attempts: doubling from the first to the last.
  std::chrono::milliseconds firstRetry{100};
  std::chrono::milliseconds lastRetry{5000};
  // An attempt that has no answer from the broker in this time is given up.
  std::chrono::milliseconds connectTimeout{10000};
  // Events published and not yet acknowledged, at most.
  std::size_t window = 64;
  // Where the link says what became of the connection (never an event's content).
  std::function<void(std::string_view)> log;
  // Told of events found gone from the backlog before they were sent.
  std::function<void(uint64_t count)> lost;

  // Reads "mqtt://HOST[:PORT]" (HOST a name, an IPv4 address or [IPv6]) into
  // host and port. Throws std::invalid_argument saying what is wrong.
  void SetUrl(std::string_view url);
};

// A snapshot of the link for /v1/readers and the metrics.
struct MqttLinkState {
  // "connecting", "connected" or "unreachable" (waiting to try again).
  std::string connection;
  std::string broker;  // host:port
  std::string lastError;
  uint64_t deliveredThrough = 0;  // every event up to this seq acknowledged
  uint64_t pending = 0;           // events in the hub not yet acknowledged
  uint64_t delivered = 0;         // events acknowledged by the broker
  uint64_t lost = 0;              // events gone from the backlog before they were sent
  uint64_t connects = 0;          // connections accepted by the broker
};

class MqttLink {
 public:
  // Starts connecting at once. Events after `deliveredThrough` are taken from
  // `backlog`, which must outlive the link. Throws std::invalid_argument for a
  // server id or prefix that cannot be part of a topic.
  MqttLink(boost::asio::io_context& io, const EventBacklog& backlog, MqttSettings settings,
           uint64_t deliveredThrough = 0);
  // Drops the connection without the goodbye of Stop(): the broker then sends the will.
  ~MqttLink();
  MqttLink(const MqttLink&) = delete;
  MqttLink& operator=(const MqttLink&) = delete;

  // The hub holds events up to `seq`: they go out as the window allows.
  void Notify(uint64_t seq);
  // Says "offline" and disconnects, with what is in flight written to the
  // socket; the link stays down afterwards.
  void Stop();

  MqttLinkState State() const;
  // Prometheus lines of the link's own families (rdr_mqtt_*).
  void AppendMetrics(std::string& out) const;

 private:
  enum class Connection { Connecting, Connected, Unreachable, Stopped };
  struct ClientDeleter {
    void operator()(mosquitto* client) const noexcept;
  };

  void Resolve();
  void Connect(const std::string& address);
  void WaitReadable();
  void WaitWritable();
  void Tick();
  // After each call into libmosquitto: a failure or a closed socket ends the connection.
  void Check(int result, std::string_view what);
  void Drop(std::string reason);
  void RetryLater();
  void Pump();
  bool Publish(const std::string& topic, const std::string& payload, bool retain, int* id);
  std::string Topic(std::string_view reader, std::string_view leaf) const;

  void OnConnect(int code);
  void OnPublish(int id);
  void Say(std::string_view text) const;

  const EventBacklog& backlog_;
  MqttSettings settings_;
  std::string serviceTopic_;

  boost::asio::ip::tcp::resolver resolver_;
  boost::asio::posix::stream_descriptor socket_;
  boost::asio::steady_timer tickTimer_;
  boost::asio::steady_timer retryTimer_;
  std::unique_ptr<mosquitto, ClientDeleter> client_;
  // Handlers of an earlier connection find a newer number here and do nothing.
  uint64_t attempt_ = 0;
  bool writeWaiting_ = false;
  // Set by libmosquitto's callbacks, in which the client cannot be destroyed.
  std::string dropReason_;

  Connection connection_ = Connection::Connecting;
  std::chrono::milliseconds nextRetry_;
  std::chrono::steady_clock::time_point attemptStarted_;
  std::string lastError_;

  uint64_t head_ = 0;
  uint64_t sentThrough_ = 0;
  uint64_t deliveredThrough_ = 0;
  std::map<int, uint64_t> inFlight_;  // message id -> seq
  // Each reader's latest status sent, published again on each connect: a
  // broker started afresh has lost its retained messages.
  std::map<std::string, std::shared_ptr<const std::string>> statuses_;
  uint64_t delivered_ = 0;
  uint64_t lost_ = 0;
  uint64_t connects_ = 0;
};

}  // namespace rdrd
