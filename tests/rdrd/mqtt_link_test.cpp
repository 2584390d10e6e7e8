// The broker connection against a real mosquitto on loopback, with a backlog
// of the test's own in place of the service's hub.
#include "mqtt_link.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <deque>
#include <optional>
#include <set>

#include "support/mosquitto_broker.h"
#include "support/mqtt_subscriber.h"

namespace {

using rdrtest::MqttMessage;
using Messages = std::vector<MqttMessage>;
constexpr const char* kPrefix = "site";

class Backlog : public rdrd::EventBacklog {
 public:
  explicit Backlog(std::size_t capacity = 1000) : capacity_(capacity) {}
  uint64_t Add(const std::string& reader, bool status = false) {
    const uint64_t seq = ++last_;
    events_.push_back(
        {seq, reader, status,
         std::make_shared<const std::string>("{\"seq\":" + std::to_string(seq) + ",\"reader\":\"" + reader + "\"}")});
    if (events_.size() > capacity_) events_.pop_front();
    return seq;
  }
  std::vector<rdrd::LinkEvent> EventsAfter(uint64_t seq, std::size_t limit) const override {
    std::vector<rdrd::LinkEvent> after;
    for (const auto& event : events_) {
      if (event.seq > seq && after.size() < limit) after.push_back(event);
    }
    return after;
  }
  const rdrd::LinkEvent& At(uint64_t seq) const { return events_.at(seq - events_.front().seq); }
  const std::string& Bytes(uint64_t seq) const { return *At(seq).bytes; }

 private:
  std::size_t capacity_;
  uint64_t last_ = 0;
  std::deque<rdrd::LinkEvent> events_;
};

rdrd::MqttSettings Settings(uint16_t port, std::size_t window = 64) {
  rdrd::MqttSettings settings;
  settings.port = port;
  settings.topicPrefix = kPrefix;
  settings.serverId = "till-1";
  settings.window = window;
  settings.log = [](std::string_view) {};
  return settings;
}

// Runs the link's loop until `done` holds for what the subscriber has, or ten seconds passed.
Messages RunUntil(boost::asio::io_context& io, rdrtest::MqttSubscriber& subscriber,
                  const std::function<bool(const Messages&)>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  Messages messages;
  while (!done(messages = subscriber.WaitFor(done, std::chrono::milliseconds(0))) &&
         std::chrono::steady_clock::now() < deadline) {
    io.run_for(std::chrono::milliseconds(10));
  }
  return messages;
}

void RunUntil(boost::asio::io_context& io, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done() && std::chrono::steady_clock::now() < deadline) io.run_for(std::chrono::milliseconds(10));
}

Messages OnTopic(const Messages& messages, const std::string& topic) {
  Messages on;
  for (const auto& message : messages) {
    if (message.topic == topic) on.push_back(message);
  }
  return on;
}

std::function<bool(const Messages&)> HasOn(const std::string& topic, std::size_t count = 1) {
  return [=](const Messages& messages) { return OnTopic(messages, topic).size() >= count; };
}

std::function<bool(const Messages&)> EndsWith(const std::string& topic, const std::string& payload) {
  return [=](const Messages& messages) {
    const Messages on = OnTopic(messages, topic);
    return !on.empty() && on.back().payload == payload;
  };
}

// The seqs of the events in `messages`, each once, in the order of their first arrival.
std::vector<uint64_t> FirstArrivals(const Messages& messages) {
  std::vector<uint64_t> seqs;
  std::set<uint64_t> seen;
  for (const auto& message : messages) {
    if (!message.topic.ends_with("/events")) continue;
    const uint64_t seq = std::stoull(message.payload.substr(message.payload.find(':') + 1));
    if (seen.insert(seq).second) seqs.push_back(seq);
  }
  return seqs;
}

TEST(MqttLink, EventsInOrderStatusRetainedEventsNot) {
  rdrtest::MosquittoBroker broker;
  rdrtest::MqttSubscriber live(broker.Port(), std::string(kPrefix) + "/#");
  Backlog backlog;
  boost::asio::io_context io;
  rdrd::MqttLink link(io, backlog, Settings(broker.Port(), 4));
  backlog.Add("front", true);
  for (int i = 0; i < 20; ++i) backlog.Add(i % 2 ? "front" : "gate");
  link.Notify(backlog.Add("gate", true));

  const Messages all =
      RunUntil(io, live, [](const Messages& messages) { return FirstArrivals(messages).size() >= 22; });
  std::vector<std::pair<std::string, std::string>> eventsSeen;
  for (const auto& message : all) {
    if (message.topic.ends_with("/events")) eventsSeen.emplace_back(message.topic, message.payload);
  }
  ASSERT_EQ(eventsSeen.size(), 22u);
  for (uint64_t seq = 1; seq <= 22; ++seq) {
    EXPECT_EQ(eventsSeen[seq - 1], std::make_pair("site/" + backlog.At(seq).reader + "/events", backlog.Bytes(seq)))
        << seq;
  }
  RunUntil(io, [&] { return link.State().deliveredThrough == 22; });
  EXPECT_EQ(link.State().connection, "connected");
  EXPECT_EQ(link.State().pending, 0u);

  // A subscriber that comes later gets the presence and each reader's
  // status, retained, and no event; the marker it sends itself comes after
  // all that is retained.
  rdrtest::MqttSubscriber late(broker.Port(), std::string(kPrefix) + "/#");
  late.Publish("site/test/marker", "end");
  const Messages retained = late.WaitFor(HasOn("site/test/marker"));
  const std::vector<std::pair<std::string, std::string>> expected{{"site/front/status", backlog.Bytes(1)},
                                                                  {"site/gate/status", backlog.Bytes(22)},
                                                                  {"site/service/till-1", "online"}};
  std::set<std::pair<std::string, std::string>> got;
  for (const auto& message : retained) {
    EXPECT_FALSE(message.topic.ends_with("/events")) << message.topic;
    if (message.retained) got.emplace(message.topic, message.payload);
  }
  EXPECT_EQ(got, std::set(expected.begin(), expected.end()));
}

TEST(MqttLink, EventsGoneFromTheBacklogWhileDownAreCountedLost) {
  rdrtest::MosquittoBroker broker;
  broker.Stop();
  Backlog backlog(4);
  boost::asio::io_context io;
  rdrd::MqttLink link(io, backlog, Settings(broker.Port()));
  for (int i = 0; i < 10; ++i) link.Notify(backlog.Add("front"));
  io.run_for(std::chrono::milliseconds(50));
  broker.Start();
  RunUntil(io, [&] { return link.State().deliveredThrough == 10; });
  EXPECT_EQ(link.State().delivered, 4u);
  EXPECT_EQ(link.State().lost, 6u);
}

TEST(MqttLink, PresenceEndsOfflineRetained) {
  struct Case {
    const char* ending;
    bool goodbye;  // Stop(), or the process gone without one: the will
  };
  for (const Case& ending : {Case{"stop", true}, Case{"crash", false}}) {
    SCOPED_TRACE(ending.ending);
    rdrtest::MosquittoBroker broker;
    rdrtest::MqttSubscriber subscriber(broker.Port(), "site/service/#");
    Backlog backlog;
    boost::asio::io_context io;
    std::optional<rdrd::MqttLink> link;
    link.emplace(io, backlog, Settings(broker.Port()));
    RunUntil(io, subscriber, EndsWith("site/service/till-1", "online"));
    if (ending.goodbye) link->Stop();
    link.reset();
    EXPECT_TRUE(
        EndsWith("site/service/till-1", "offline")(subscriber.WaitFor(EndsWith("site/service/till-1", "offline"))));
    rdrtest::MqttSubscriber late(broker.Port(), "site/service/#");
    const Messages retained = late.WaitFor(HasOn("site/service/till-1"));
    ASSERT_FALSE(retained.empty());
    EXPECT_TRUE(retained.back().retained);
    EXPECT_EQ(retained.back().payload, "offline");
  }
}

TEST(MqttSettings, Url) {
  struct Case {
    const char* url;
    std::optional<std::pair<std::string, uint16_t>> parsed;
  };
  const std::pair<std::string, uint16_t> loopback{"127.0.0.1", 1883};
  for (const Case& c : {
           Case{"mqtt://127.0.0.1", loopback},
           Case{"mqtt://127.0.0.1:1883/", loopback},
           Case{"mqtt://broker.site.example:8883", std::pair<std::string, uint16_t>{"broker.site.example", 8883}},
           Case{"mqtt://[::1]:1884", std::pair<std::string, uint16_t>{"::1", 1884}},
           Case{"mqtt://[::1]", std::pair<std::string, uint16_t>{"::1", 1883}},
           Case{"mqtts://127.0.0.1", std::nullopt},
           Case{"127.0.0.1:1883", std::nullopt},
           Case{"mqtt://", std::nullopt},
           Case{"mqtt://host:", std::nullopt},
           Case{"mqtt://host:0", std::nullopt},
           Case{"mqtt://host:65536", std::nullopt},
           Case{"mqtt://host:12x", std::nullopt},
           Case{"mqtt://user@host", std::nullopt},
           Case{"mqtt://host/path", std::nullopt},
           Case{"mqtt://[::1", std::nullopt},
       }) {
    SCOPED_TRACE(c.url);
    rdrd::MqttSettings settings;
    if (c.parsed) {
      settings.SetUrl(c.url);
      EXPECT_EQ(std::make_pair(settings.host, settings.port), *c.parsed);
    } else {
      EXPECT_THROW(settings.SetUrl(c.url), std::invalid_argument);
    }
  }
}

}  // namespace
