#include "support/mqtt_subscriber.h"

#include <mosquitto.h>

#include <stdexcept>

namespace rdrtest {

MqttSubscriber::MqttSubscriber(uint16_t port, const std::string& filter, const std::string& clientId)
    : filter_(filter) {
  mosquitto_lib_init();
  client_ = mosquitto_new(clientId.empty() ? nullptr : clientId.c_str(), clientId.empty(), this);
  if (!client_) throw std::runtime_error("cannot create an MQTT client");
  mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_reconnect_delay_set(client_, 1, 1, false);
  // Subscribes again on each connect: a broker restarted afresh has forgotten it.
  mosquitto_connect_callback_set(client_, [](mosquitto* client, void* self, int code) {
    if (code == 0) mosquitto_subscribe(client, nullptr, static_cast<MqttSubscriber*>(self)->filter_.c_str(), 1);
  });
  mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* context, int, int, const int*) {
    auto* self = static_cast<MqttSubscriber*>(context);
    std::lock_guard lock(self->mutex_);
    self->subscribed_ = true;
    self->changed_.notify_all();
  });
  mosquitto_message_callback_set(client_, [](mosquitto*, void* context, const mosquitto_message* message) {
    auto* self = static_cast<MqttSubscriber*>(context);
    std::lock_guard lock(self->mutex_);
    self->messages_.push_back(
        {message->topic,
         std::string(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen)),
         message->retain});
    self->changed_.notify_all();
  });
  if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
      mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
    mosquitto_destroy(client_);
    throw std::runtime_error("cannot connect to the broker on port " + std::to_string(port));
  }
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::seconds(5), [&] { return subscribed_; })) {
    lock.unlock();
    mosquitto_loop_stop(client_, true);
    mosquitto_destroy(client_);
    throw std::runtime_error("the broker did not confirm the subscription");
  }
}

MqttSubscriber::~MqttSubscriber() {
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, false);
  mosquitto_destroy(client_);
}

std::vector<MqttMessage> MqttSubscriber::WaitFor(const std::function<bool(const std::vector<MqttMessage>&)>& done,
                                                 std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return done(messages_); });
  return messages_;
}

void MqttSubscriber::Publish(const std::string& topic, const std::string& payload) {
  mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false);
}

}  // namespace rdrtest
