// rdrd with a real mosquitto on loopback: the broker gets each event with
// the bytes the WebSocket and SSE clients get, and nothing is lost while the
// broker is away.
#include <gtest/gtest.h>
#include <signal.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "rdrd_harness.h"
#include "support/mosquitto_broker.h"
#include "support/mqtt_subscriber.h"
#include "support/pty_reader.h"

namespace {

using rdrtest::MqttMessage;
using Messages = std::vector<MqttMessage>;

std::string Configuration(const std::string& readerPort, uint16_t brokerPort) {
  return "server_id = \"till-7\"\n[[reader]]\nid = \"front\"\nport = \"" + readerPort +
         "\"\n[mqtt]\nurl = \"mqtt://127.0.0.1:" + std::to_string(brokerPort) + "\"\ntopic_prefix = \"site\"\n";
}

bool IsCode(const std::string& event) { return event.find("\"type\":\"code\"") != std::string::npos; }

std::size_t Codes(const std::vector<std::string>& events) {
  return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), IsCode));
}

// The events up to the `codes`th code event.
std::vector<std::string> ThroughCode(const std::vector<std::string>& events, std::size_t codes) {
  std::vector<std::string> through;
  for (const auto& event : events) {
    through.push_back(event);
    if (IsCode(event) && --codes == 0) break;
  }
  return through;
}

// Each event once (by seq), in the order of its first arrival.
std::vector<std::string> MqttEvents(const Messages& messages) {
  std::vector<std::string> events;
  std::set<uint64_t> seen;
  for (const auto& message : messages) {
    if (!message.topic.ends_with("/events")) continue;
    if (seen.insert(nlohmann::json::parse(message.payload)["seq"].get<uint64_t>()).second) {
      events.push_back(message.payload);
    }
  }
  return events;
}

template <typename Condition>
bool WaitUntil(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

nlohmann::json BrokerLink(uint16_t port) {
  return nlohmann::json::parse(rdrtest::GetBody(port, "/v1/readers"))["mqtt"];
}

TEST(RdrdMqtt, SimulatorCodesAlikeOnWebSocketSseAndBroker) {
  constexpr std::size_t kCodes = 12;
  rdrtest::MosquittoBroker broker;
  rdrtest::MqttSubscriber subscriber(broker.Port(), "site/#");
  rdrtest::TempDir dir;
  const std::string link = (dir.Path() / "front").string();
  std::vector<std::string> simulate{RDR_EXECUTABLE,         "simulate", "--kind", "optical", "--every", "15", "--count",
                                    std::to_string(kCodes), "--link",   link};
  for (std::size_t i = 0; i < kCodes; ++i) {
    simulate.push_back("--frame");
    simulate.push_back("C" + std::to_string(i) + "\\xe9\\r\\n");  // e acute in Windows-1252
  }
  rdrtest::ChildProcess simulator(simulate);
  ASSERT_TRUE(simulator.ReadLine());
  rdrtest::Rdrd rdrd(rdrtest::RdrdConfig{Configuration(link, broker.Port())});

  std::mutex mutex;
  std::vector<std::vector<std::string>> received(2);
  rdrtest::StreamClients clients([&](std::size_t client, const std::string& message) {
    std::lock_guard lock(mutex);
    received[client].push_back(message);
  });
  clients.AddWebSocket(rdrd.Port(), "/v1/ws?since=0");
  clients.AddServerSentEvents(rdrd.Port(), "/v1/events?since=0");
  Messages messages;
  ASSERT_TRUE(WaitUntil([&] {
    messages = subscriber.WaitFor([](const Messages&) { return true; }, std::chrono::milliseconds(0));
    std::lock_guard lock(mutex);
    return Codes(received[0]) >= kCodes && Codes(received[1]) >= kCodes && Codes(MqttEvents(messages)) >= kCodes;
  }));
  std::lock_guard lock(mutex);
  const std::vector<std::string> webSocket = ThroughCode(received[0], kCodes);
  EXPECT_EQ(ThroughCode(received[1], kCodes), webSocket);
  EXPECT_EQ(ThroughCode(MqttEvents(messages), kCodes), webSocket);
  std::vector<std::string> codes;
  for (const auto& event : webSocket) {
    if (IsCode(event)) codes.push_back(nlohmann::json::parse(event)["code"]);
  }
  ASSERT_EQ(codes.size(), kCodes);
  for (std::size_t i = 0; i < kCodes; ++i) EXPECT_EQ(codes[i], "C" + std::to_string(i) + "\u00e9");
}

TEST(RdrdMqtt, BrokerAwayAndBackLosesNothingAndIsReported) {
  rdrtest::MosquittoBroker broker;
  // A persistent session: the broker keeps for it what comes while it reconnects.
  rdrtest::MqttSubscriber subscriber(broker.Port(), "site/+/events", "rdrd-test-subscriber");
  rdrtest::PtyReader reader;
  rdrtest::Rdrd rdrd(rdrtest::RdrdConfig{Configuration(reader.DevicePath(), broker.Port())});
  const auto codesCounted = [&](uint64_t count) {
    return WaitUntil([&] {
      return nlohmann::json::parse(rdrtest::GetBody(rdrd.Port(), "/v1/readers"))["readers"][0]["codes"] == count;
    });
  };
  for (int i = 0; i < 5; ++i) reader.Send("A" + std::to_string(i) + "\r\n");
  ASSERT_TRUE(codesCounted(5));
  ASSERT_TRUE(WaitUntil([&] { return BrokerLink(rdrd.Port())["pending"] == 0; }));

  broker.Stop();
  for (int i = 5; i < 10; ++i) reader.Send("A" + std::to_string(i) + "\r\n");
  ASSERT_TRUE(codesCounted(10));
  ASSERT_TRUE(WaitUntil([&] { return BrokerLink(rdrd.Port())["connection"] == "unreachable"; }));
  EXPECT_GE(BrokerLink(rdrd.Port())["pending"].get<int>(), 5);
  const std::string metrics = rdrtest::GetBody(rdrd.Port(), "/metrics");
  EXPECT_NE(metrics.find("\nrdr_mqtt_connected 0\n"), std::string::npos) << metrics;

  broker.Start();
  const Messages messages = subscriber.WaitFor([](const Messages& got) { return Codes(MqttEvents(got)) >= 10; });
  std::vector<std::string> codes;
  for (const auto& event : MqttEvents(messages)) {
    if (IsCode(event)) codes.push_back(nlohmann::json::parse(event)["code"]);
  }
  EXPECT_EQ(codes, (std::vector<std::string>{"A0", "A1", "A2", "A3", "A4", "A5", "A6", "A7", "A8", "A9"}));
  ASSERT_TRUE(WaitUntil([&] { return BrokerLink(rdrd.Port())["pending"] == 0; }));
  EXPECT_EQ(BrokerLink(rdrd.Port())["connection"], "connected");
  EXPECT_EQ(BrokerLink(rdrd.Port())["lost"], 0);
}

TEST(RdrdMqtt, PresenceOnlineWhileRunningOfflineAfterSigterm) {
  rdrtest::MosquittoBroker broker;
  rdrtest::MqttSubscriber subscriber(broker.Port(), "site/service/#");
  rdrtest::PtyReader reader;
  const auto last = [&](const std::string& payload) {
    return [payload](const Messages& got) { return !got.empty() && got.back().payload == payload; };
  };
  {
    rdrtest::Rdrd rdrd(rdrtest::RdrdConfig{Configuration(reader.DevicePath(), broker.Port())});
    const Messages online = subscriber.WaitFor(last("online"));
    ASSERT_FALSE(online.empty());
    EXPECT_EQ(online.back().topic, "site/service/till-7");
  }
  const Messages offline = subscriber.WaitFor(last("offline"));
  ASSERT_FALSE(offline.empty());
  EXPECT_EQ(offline.back().payload, "offline");
}

}  // namespace
