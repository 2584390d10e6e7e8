// The hub: numbers every event, keeps the backlog for replay and hands each
// event to every sink (the HTTP clients, the broker link). Loop thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "event.h"

namespace rdrd {

struct ReaderState {
  std::string id;
  std::string port;
  int32_t baud = 0;
  std::string status = "Starting";  // a session status name once the reader reported
  std::string message;
  uint64_t codes = 0;
  bool Up() const { return status == "Ok"; }
};

// Receives what the hub publishes, on the loop thread.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void OnEvent(const EventPtr& event) = 0;
  // The reader set changed (start, reload); Readers() has the new one.
  virtual void OnReadersChanged() {}
  // Adds the sink's own state to /v1/readers (under its own key).
  virtual void DescribeState(nlohmann::ordered_json& /*readers*/) const {}
  // Adds the sink's own Prometheus lines.
  virtual void WriteMetrics(std::string& /*text*/) const {}
};

class EventHub {
 public:
  EventHub(std::string serverId, size_t backlog);

  const std::string& Boot() const { return boot_; }
  const std::string& ServerId() const { return serverId_; }
  uint64_t LastSeq() const { return nextSeq_ - 1; }
  // The oldest seq still in the backlog; LastSeq() + 1 while it is empty.
  uint64_t OldestSeq() const { return backlog_.empty() ? nextSeq_ : backlog_.front()->seq; }
  void SetBacklogLimit(size_t backlog);

  // `credential`: the decoded card, when the reader decodes credentials.
  EventPtr PublishCode(const std::string& reader, const std::string& bytes,
                       const std::optional<nlohmann::ordered_json>& credential = std::nullopt);
  EventPtr PublishStatus(const std::string& reader, const std::string& status, const std::string& message);

  // The events after `since` still in the backlog, in order.
  std::vector<EventPtr> EventsAfter(uint64_t since) const;
  // What a client that last saw `since` of boot `boot` (empty: this one)
  // gets before going live: a gap event when it missed events (older than
  // the backlog, or of another start), then the backlog's events it lacks.
  struct Replay {
    std::optional<std::string> gap;
    std::vector<EventPtr> events;
  };
  Replay ReplayFor(uint64_t since, const std::string& boot) const;

  void AddSink(EventSink* sink);
  void RemoveSink(EventSink* sink);
  const std::vector<EventSink*>& Sinks() const { return sinks_; }

  // Takes the configured readers: states of ids already known stay.
  void SetReaders(const std::vector<ReaderConfig>& readers);
  const std::vector<ReaderState>& Readers() const { return readers_; }

  void CountDrops(const std::string& reason, uint64_t events) { drops_[reason] += events; }
  const std::map<std::string, uint64_t>& Drops() const { return drops_; }

 private:
  EventPtr Publish(const std::string& type, const std::string& reader, nlohmann::ordered_json body);
  ReaderState* Find(const std::string& id);

  std::string serverId_;
  std::string boot_;
  size_t backlogLimit_;
  uint64_t nextSeq_ = 1;
  std::deque<EventPtr> backlog_;
  std::vector<EventSink*> sinks_;
  std::vector<ReaderState> readers_;
  std::map<std::string, uint64_t> drops_;
};

}  // namespace rdrd
