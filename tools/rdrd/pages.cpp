#include "pages.h"

namespace rdrd {
namespace {

size_t ReadersUp(const EventHub& hub) {
  size_t up = 0;
  for (const auto& reader : hub.Readers()) up += reader.Up() ? 1 : 0;
  return up;
}

void Metric(std::string& text, std::string_view name, std::string_view type, std::string_view help) {
  text += "# HELP ";
  text += name;
  text += ' ';
  text += help;
  text += "\n# TYPE ";
  text += name;
  text += ' ';
  text += type;
  text += '\n';
}

// Label values are reader ids, transport and reason names: no character
// needs escaping but these.
std::string LabelValue(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? 'n' : c;
  }
  return out;
}

void Sample(std::string& text, std::string_view name, std::string_view label, std::string_view value, uint64_t number) {
  text += name;
  text += '{';
  text += label;
  text += "=\"";
  text += LabelValue(value);
  text += "\"} ";
  text += std::to_string(number);
  text += '\n';
}

}  // namespace

std::string InfoPage(const EventHub& hub, std::string_view version) {
  nlohmann::ordered_json info = {{"server_id", hub.ServerId()},
                                 {"version", version},
                                 {"boot", hub.Boot()},
                                 {"last_seq", hub.LastSeq()},
                                 {"readers", nlohmann::ordered_json::array()}};
  for (const auto& reader : hub.Readers()) info["readers"].push_back(reader.id);
  return info.dump();
}

std::string ReadersPage(const EventHub& hub) {
  nlohmann::ordered_json page = {{"readers", nlohmann::ordered_json::array()}};
  for (const auto& reader : hub.Readers()) {
    page["readers"].push_back({{"id", reader.id},
                               {"port", Windows1252ToUtf8(reader.port)},
                               {"baud", reader.baud},
                               {"status", reader.status},
                               {"message", Windows1252ToUtf8(reader.message)},
                               {"codes", reader.codes}});
  }
  for (const EventSink* sink : hub.Sinks()) sink->DescribeState(page);
  return page.dump();
}

std::string HealthPage(const EventHub& hub) {
  const size_t up = ReadersUp(hub);
  const nlohmann::ordered_json health = {{"status", up == hub.Readers().size() ? "ok" : "degraded"},
                                         {"readers", hub.Readers().size()},
                                         {"readers_up", up},
                                         {"last_seq", hub.LastSeq()}};
  return health.dump();
}

std::string MetricsPage(const EventHub& hub, const ClientCounts& clients, std::string_view version) {
  std::string text;
  Metric(text, "rdr_codes_total", "counter", "Codes read, per reader.");
  for (const auto& reader : hub.Readers()) Sample(text, "rdr_codes_total", "reader", reader.id, reader.codes);
  Metric(text, "rdr_reader_up", "gauge", "1 while the reader's port is open and readable.");
  for (const auto& reader : hub.Readers()) Sample(text, "rdr_reader_up", "reader", reader.id, reader.Up() ? 1 : 0);
  Metric(text, "rdr_clients", "gauge", "Streaming clients connected, per transport.");
  Sample(text, "rdr_clients", "transport", "sse", clients.sse);
  Sample(text, "rdr_clients", "transport", "ws", clients.webSocket);
  Metric(text, "rdr_events_dropped_total", "counter", "Events a client or link did not get, per reason.");
  for (const auto& [reason, count] : hub.Drops()) Sample(text, "rdr_events_dropped_total", "reason", reason, count);
  Metric(text, "rdr_build_info", "gauge", "The running version.");
  Sample(text, "rdr_build_info", "version", version, 1);
  for (const EventSink* sink : hub.Sinks()) sink->WriteMetrics(text);
  return text;
}

std::string ReadersOnline(const EventHub& hub) {
  return std::to_string(ReadersUp(hub)) + " of " + std::to_string(hub.Readers().size()) + " readers online";
}

}  // namespace rdrd
