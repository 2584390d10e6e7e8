// Who may connect and what they asked for: the checks on a request head, kept
// free of the HTTP library so they can be tested and fuzzed on their own.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"

namespace rdrd {

// The parts of a request head the checks look at.
struct RequestHead {
  std::string method;
  std::string target;
  std::vector<std::string> hosts;    // every Host field
  std::vector<std::string> origins;  // every Origin field
  std::string authorization;
  std::string webSocketProtocols;  // Sec-WebSocket-Protocol, fields joined by ","
  std::string lastEventId;
  bool webSocketUpgrade = false;
  bool preflight = false;  // OPTIONS with Access-Control-Request-Method
};

struct AccessPolicy {
  std::set<std::string> hosts;      // accepted Host values, lower case
  std::set<uint16_t> anyHostPorts;  // wildcard listeners: any host name on these ports
  std::vector<std::string> origins;
  std::string token;  // empty: none needed
};

// The Host values a client may use for the listeners actually bound.
AccessPolicy MakeAccessPolicy(const Config& config, const std::vector<ListenAddress>& bound);

enum class Route { Events, WebSocket, Info, Readers, Health, Metrics, Preflight };

struct Decision {
  int status = 200;    // 200: serve `route`; otherwise the refusal's status
  std::string reason;  // for the log: never holds the token
  Route route = Route::Health;
  uint64_t since = 0;              // replay after this seq
  bool replay = false;             // Last-Event-ID or ?since= given
  std::string boot;                // ?boot=: the boot `since` belongs to
  std::string allowOrigin;         // the Origin to echo, when one was sent and allowed
  bool answerSubprotocol = false;  // the client offered rdr.v1
};

Decision Decide(const RequestHead& head, const AccessPolicy& policy);

// Equal texts, in a time that does not depend on where they differ.
bool SameSecret(std::string_view given, std::string_view secret);

}  // namespace rdrd
