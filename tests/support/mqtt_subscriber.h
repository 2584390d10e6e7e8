// A small MQTT subscriber for rdrd's tests and benchmarks: libmosquitto's
// own thread receives, any thread waits for what came.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;

namespace rdrtest {

struct MqttMessage {
  std::string topic;
  std::string payload;
  bool retained = false;
};

class MqttSubscriber {
 public:
  // Connects to the broker on 127.0.0.1:`port` and subscribes to `filter`
  // with QoS 1; returns once the broker confirmed. With a `clientId`, the
  // broker keeps the subscription across a disconnect or its own restart
  // (a persistent session). Throws std::runtime_error after a few seconds
  // without confirmation.
  MqttSubscriber(uint16_t port, const std::string& filter, const std::string& clientId = {});
  ~MqttSubscriber();
  MqttSubscriber(const MqttSubscriber&) = delete;
  MqttSubscriber& operator=(const MqttSubscriber&) = delete;

  // What came so far, once `done` holds for it or `timeout` passed.
  std::vector<MqttMessage> WaitFor(const std::function<bool(const std::vector<MqttMessage>&)>& done,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Publishes `payload` to `topic` with QoS 1, not retained.
  void Publish(const std::string& topic, const std::string& payload);

 private:
  mosquitto* client_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<MqttMessage> messages_;
  bool subscribed_ = false;
  std::string filter_;
};

}  // namespace rdrtest
