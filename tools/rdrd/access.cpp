#include "access.h"

#include <algorithm>
#include <charconv>

namespace rdrd {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decoding of a query value; std::nullopt when malformed.
std::optional<std::string> Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] != '%') {
      out += text[i];
    } else {
      if (i + 2 >= text.size()) return std::nullopt;
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    }
  }
  return out;
}

std::optional<uint64_t> ParseSeq(std::string_view text) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

struct Query {
  std::optional<std::string> since;
  std::optional<std::string> token;
  std::optional<std::string> boot;
};

std::optional<Query> ParseQuery(std::string_view text) {
  Query query;
  while (!text.empty()) {
    const size_t amp = text.find('&');
    const std::string_view pair = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    const size_t equals = pair.find('=');
    const std::string_view name = pair.substr(0, equals);
    auto value = Unescape(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1));
    if (!value) return std::nullopt;
    if (name == "since") query.since = std::move(value);
    if (name == "token") query.token = std::move(value);
    if (name == "boot") query.boot = std::move(value);
  }
  return query;
}

std::optional<Route> RouteOf(std::string_view path) {
  if (path == "/v1/events") return Route::Events;
  if (path == "/v1/ws") return Route::WebSocket;
  if (path == "/v1/info") return Route::Info;
  if (path == "/v1/readers") return Route::Readers;
  if (path == "/v1/health") return Route::Health;
  if (path == "/metrics") return Route::Metrics;
  return std::nullopt;
}

bool HostAllowed(std::string_view host, const AccessPolicy& policy) {
  const std::string lower = Lower(Trim(host));
  if (policy.hosts.count(lower) != 0) return true;
  const size_t colon = lower.rfind(':');
  if (colon == std::string::npos || lower.find(']', colon) != std::string::npos) return false;
  const auto port = ParseSeq(std::string_view(lower).substr(colon + 1));
  return port && *port <= 65535 && policy.anyHostPorts.count(static_cast<uint16_t>(*port)) != 0;
}

// The token the client presented, by any of the three ways.
std::optional<std::string> PresentedToken(const RequestHead& head, const Query& query, bool& offersV1) {
  std::optional<std::string> token;
  std::string_view protocols = head.webSocketProtocols;
  while (!protocols.empty()) {
    const size_t comma = protocols.find(',');
    const std::string_view protocol = Trim(protocols.substr(0, comma));
    protocols = comma == std::string_view::npos ? std::string_view() : protocols.substr(comma + 1);
    if (protocol == "rdr.v1") offersV1 = true;
    if (protocol.starts_with("rdr.token.")) token = std::string(protocol.substr(10));
  }
  const std::string_view authorization = Trim(head.authorization);
  if (authorization.size() > 7 && Lower(authorization.substr(0, 7)) == "bearer ") {
    token = std::string(Trim(authorization.substr(7)));
  }
  if (query.token) token = query.token;
  return token;
}

Decision Refuse(int status, std::string reason) {
  Decision decision;
  decision.status = status;
  decision.reason = std::move(reason);
  return decision;
}

}  // namespace

AccessPolicy MakeAccessPolicy(const Config& config, const std::vector<ListenAddress>& bound) {
  AccessPolicy policy;
  for (const auto& address : bound) {
    const std::string port = std::to_string(address.port);
    if (address.IsLoopback()) {
      policy.hosts.insert("127.0.0.1:" + port);
      policy.hosts.insert("localhost:" + port);
      policy.hosts.insert("[::1]:" + port);
    } else if (address.IsWildcard()) {
      policy.anyHostPorts.insert(address.port);
    } else {
      policy.hosts.insert(Lower(address.Text()));
      policy.hosts.insert(Lower(HostName()) + ":" + port);
    }
  }
  policy.origins = config.allowedOrigins;
  policy.token = config.token;
  return policy;
}

bool SameSecret(std::string_view given, std::string_view secret) {
  // Runs over the given text whatever the secret holds, so the time tells
  // nothing about the secret but what the client already knows.
  unsigned difference = given.size() == secret.size() ? 0U : 1U;
  for (size_t i = 0; i < given.size(); ++i) {
    const char expected = secret.empty() ? '\0' : secret[i % secret.size()];
    difference |= static_cast<unsigned char>(given[i] ^ expected);
  }
  return difference == 0 && !secret.empty();
}

Decision Decide(const RequestHead& head, const AccessPolicy& policy) {
  if (head.hosts.size() != 1) return Refuse(400, head.hosts.empty() ? "no Host" : "more than one Host");
  if (head.origins.size() > 1) return Refuse(400, "more than one Origin");
  if (!HostAllowed(head.hosts.front(), policy)) return Refuse(421, "Host names no listen address");

  Decision decision;
  if (!head.origins.empty()) {
    const std::string& origin = head.origins.front();
    if (std::find(policy.origins.begin(), policy.origins.end(), origin) == policy.origins.end()) {
      return Refuse(403, "Origin not allowed");
    }
    decision.allowOrigin = origin;
  }
  if (head.preflight) {
    if (head.origins.empty()) return Refuse(403, "preflight without Origin");
    decision.route = Route::Preflight;
    return decision;
  }

  const std::string_view target = head.target;
  const size_t question = target.find('?');
  const auto query = ParseQuery(question == std::string_view::npos ? std::string_view() : target.substr(question + 1));
  if (!query) return Refuse(400, "malformed query");
  const auto presented = PresentedToken(head, *query, decision.answerSubprotocol);
  if (!policy.token.empty() && !(presented && SameSecret(*presented, policy.token))) {
    auto refusal = Refuse(401, presented ? "wrong token" : "no token");
    refusal.allowOrigin = decision.allowOrigin;
    return refusal;
  }

  const auto route = RouteOf(target.substr(0, question));
  if (!route) return Refuse(404, "no such path");
  if (head.method != "GET") return Refuse(405, "method not allowed");
  decision.route = *route;
  if (decision.route == Route::WebSocket && !head.webSocketUpgrade)
    return Refuse(400, "WebSocket path without upgrade");

  const std::optional<std::string>& since = query->since;
  const std::string lastEventId(Trim(head.lastEventId));
  if (since || !lastEventId.empty()) {
    const auto seq = ParseSeq(since ? *since : lastEventId);
    if (!seq) return Refuse(400, "malformed since or Last-Event-ID");
    decision.since = *seq;
    decision.replay = true;
  }
  if (query->boot) decision.boot = *query->boot;
  return decision;
}

}  // namespace rdrd
