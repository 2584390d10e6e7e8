#include "hub.h"

#include <algorithm>

namespace rdrd {

EventHub::EventHub(std::string serverId, size_t backlog)
    : serverId_(std::move(serverId)), boot_(NewBootId()), backlogLimit_(backlog) {
  drops_["slow_client"] = 0;
}

void EventHub::SetBacklogLimit(size_t backlog) {
  backlogLimit_ = backlog;
  while (backlog_.size() > backlogLimit_) backlog_.pop_front();
}

EventPtr EventHub::Publish(const std::string& type, const std::string& reader, nlohmann::ordered_json body) {
  auto event = std::make_shared<Event>();
  event->seq = nextSeq_++;
  event->type = type;
  event->reader = reader;
  nlohmann::ordered_json json = {{"type", type},           {"seq", event->seq},
                                 {"boot", boot_},          {"ts", UtcTimestamp(std::chrono::system_clock::now())},
                                 {"server_id", serverId_}, {"reader", reader}};
  for (auto& [key, value] : body.items()) json[key] = std::move(value);
  event->json = json.dump();
  backlog_.push_back(event);
  while (backlog_.size() > backlogLimit_) backlog_.pop_front();
  // A sink may remove itself while it takes the event.
  const std::vector<EventSink*> sinks = sinks_;
  for (EventSink* sink : sinks) {
    if (std::find(sinks_.begin(), sinks_.end(), sink) != sinks_.end()) sink->OnEvent(event);
  }
  return event;
}

EventPtr EventHub::PublishCode(const std::string& reader, const std::string& bytes,
                               const std::optional<nlohmann::ordered_json>& credential) {
  if (ReaderState* state = Find(reader)) ++state->codes;
  nlohmann::ordered_json body = {{"code", Windows1252ToUtf8(bytes)}, {"hex", HexOf(bytes)}};
  if (credential) body["credential"] = *credential;
  return Publish("code", reader, std::move(body));
}

EventPtr EventHub::PublishStatus(const std::string& reader, const std::string& status, const std::string& message) {
  if (ReaderState* state = Find(reader)) {
    state->status = status;
    state->message = message;
  }
  return Publish("reader", reader, {{"status", status}, {"message", Windows1252ToUtf8(message)}});
}

std::vector<EventPtr> EventHub::EventsAfter(uint64_t since) const {
  std::vector<EventPtr> events;
  if (backlog_.empty() || since >= backlog_.back()->seq) return events;
  const uint64_t first = std::max(since + 1, backlog_.front()->seq);
  events.assign(backlog_.begin() + static_cast<std::ptrdiff_t>(first - backlog_.front()->seq), backlog_.end());
  return events;
}

EventHub::Replay EventHub::ReplayFor(uint64_t since, const std::string& boot) const {
  const bool otherBoot = (!boot.empty() && boot != boot_) || since > LastSeq();
  const bool pastBacklog = since + 1 < OldestSeq();
  if (!otherBoot && !pastBacklog) return {std::nullopt, EventsAfter(since)};
  const nlohmann::ordered_json gap = {{"type", "gap"},
                                      {"boot", boot_},
                                      {"ts", UtcTimestamp(std::chrono::system_clock::now())},
                                      {"server_id", serverId_},
                                      {"since", since},
                                      {"first", OldestSeq()},
                                      {"reason", otherBoot ? "boot" : "backlog"}};
  return {gap.dump(), EventsAfter(otherBoot ? 0 : since)};
}

void EventHub::AddSink(EventSink* sink) { sinks_.push_back(sink); }

void EventHub::RemoveSink(EventSink* sink) { std::erase(sinks_, sink); }

void EventHub::SetReaders(const std::vector<ReaderConfig>& readers) {
  std::vector<ReaderState> states;
  for (const auto& reader : readers) {
    ReaderState state;
    const ReaderState* known = Find(reader.id);
    if (known != nullptr && known->port == reader.port && known->baud == reader.baud) state = *known;
    state.id = reader.id;
    state.port = reader.port;
    state.baud = reader.baud;
    states.push_back(std::move(state));
  }
  readers_ = std::move(states);
  for (EventSink* sink : sinks_) sink->OnReadersChanged();
}

ReaderState* EventHub::Find(const std::string& id) {
  const auto found = std::find_if(readers_.begin(), readers_.end(), [&](const auto& s) { return s.id == id; });
  return found == readers_.end() ? nullptr : &*found;
}

}  // namespace rdrd
