#include "mqtt_extension.h"

#include <optional>
#include <stdexcept>

#include "log.h"
#include "mqtt_link.h"

namespace rdrd {

namespace {

class MqttExtension final : public Extension, public EventSink, public EventBacklog {
 public:
  MqttExtension(boost::asio::io_context& loop, EventHub& hub, const Config& config) : loop_(loop), hub_(hub) {
    try {
      Apply(config, 0);
    } catch (const std::invalid_argument& error) {
      // The configuration refuses URLs the link cannot use; what it does not check
      // (a server id with / + or #) leaves the service running without a broker.
      Log(std::string("mqtt: ") + error.what() + "; no broker link");
    }
    hub_.AddSink(this);
  }
  ~MqttExtension() override { hub_.RemoveSink(this); }

  void Reconfigure(const Config& config) override {
    // A new broker gets what the last did not acknowledge; a first one, what comes from now on.
    try {
      Apply(config, link_ ? link_->State().deliveredThrough : hub_.LastSeq());
    } catch (const std::invalid_argument& error) {
      Log(std::string("mqtt: ") + error.what() + "; the broker link stays as it was");
    }
  }
  bool Stop() override {
    if (!link_) return false;
    link_->Stop();
    return true;
  }

  void OnEvent(const EventPtr& event) override {
    if (link_) link_->Notify(event->seq);
  }
  void DescribeState(nlohmann::ordered_json& readers) const override {
    if (!link_) {
      readers["mqtt"] = {{"connection", "off"}};
      return;
    }
    const MqttLinkState state = link_->State();
    readers["mqtt"] = {{"connection", state.connection},
                       {"broker", state.broker},
                       {"last_error", state.lastError},
                       {"delivered_through", state.deliveredThrough},
                       {"pending", state.pending},
                       {"delivered", state.delivered},
                       {"lost", state.lost},
                       {"connects", state.connects}};
  }
  void WriteMetrics(std::string& text) const override {
    if (link_) link_->AppendMetrics(text);
  }

  std::vector<LinkEvent> EventsAfter(uint64_t seq, std::size_t limit) const override {
    std::vector<LinkEvent> events;
    for (const EventPtr& event : hub_.EventsAfter(seq)) {
      if (events.size() == limit) break;
      // The event's own text, shared, not copied.
      events.push_back({event->seq, event->reader, event->type == "reader",
                        std::shared_ptr<const std::string>(event, &event->json)});
    }
    return events;
  }

 private:
  void Apply(const Config& config, uint64_t deliveredThrough) {
    std::optional<MqttSettings> settings;
    if (config.mqtt.Enabled()) {
      settings.emplace();
      settings->SetUrl(config.mqtt.url);
      settings->topicPrefix = config.mqtt.topicPrefix;
      settings->serverId = config.serverId;
      settings->log = [](std::string_view line) { Log("mqtt: " + std::string(line)); };
      settings->lost = [this](uint64_t count) { hub_.CountDrops("mqtt_backlog", count); };
    }
    const bool same = settings ? applied_ && *applied_ == config.mqtt : !applied_;
    if (same) return;
    if (link_) link_->Stop();
    link_.reset();
    applied_.reset();
    if (!settings) return;
    link_ = std::make_unique<MqttLink>(loop_, *this, std::move(*settings), deliveredThrough);
    applied_ = config.mqtt;
    Log("mqtt: events go to " + config.mqtt.url + " under " + config.mqtt.topicPrefix + "/");
  }

  boost::asio::io_context& loop_;
  EventHub& hub_;
  std::optional<MqttConfig> applied_;
  std::unique_ptr<MqttLink> link_;
};

}  // namespace

std::unique_ptr<Extension> MakeMqttExtension(boost::asio::io_context& loop, EventHub& hub, const Config& config) {
  return std::make_unique<MqttExtension>(loop, hub, config);
}

}  // namespace rdrd
