// The status pages: /v1/info, /v1/readers, /v1/health and the Prometheus
// text of /metrics. Pure.
#pragma once

#include <string>
#include <string_view>

#include "hub.h"

namespace rdrd {

struct ClientCounts {
  size_t sse = 0;
  size_t webSocket = 0;
};

std::string InfoPage(const EventHub& hub, std::string_view version);
std::string ReadersPage(const EventHub& hub);
std::string HealthPage(const EventHub& hub);
std::string MetricsPage(const EventHub& hub, const ClientCounts& clients, std::string_view version);

// "2 of 3 readers online", for the service manager's status line.
std::string ReadersOnline(const EventHub& hub);

}  // namespace rdrd
