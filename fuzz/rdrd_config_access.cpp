// rdrd's configuration parser and its request-head checks. The input is a
// TOML text, then (after 0x01) a request head: "METHOD TARGET" and one
// "Name: value" field per line. Property: a request the checks let through
// presented the token, and a refusal never comes with status 200.
#include <string>

#include "access.h"
#include "config.h"
#include "fuzz_input.h"

namespace {

rdrd::RequestHead HeadOf(const std::string& text) {
  rdrd::RequestHead head;
  size_t start = 0;
  bool first = true;
  while (start <= text.size()) {
    const size_t end = std::min(text.find('\n', start), text.size());
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (first) {
      first = false;
      const size_t space = line.find(' ');
      head.method = line.substr(0, space);
      head.target = space == std::string::npos ? "" : line.substr(space + 1);
      continue;
    }
    const size_t colon = line.find(": ");
    const std::string name = line.substr(0, colon);
    const std::string value = colon == std::string::npos ? "" : line.substr(colon + 2);
    if (name == "Host") head.hosts.push_back(value);
    if (name == "Origin") head.origins.push_back(value);
    if (name == "Authorization") head.authorization = value;
    if (name == "Sec-WebSocket-Protocol") head.webSocketProtocols = value;
    if (name == "Last-Event-ID") head.lastEventId = value;
    if (name == "Upgrade") head.webSocketUpgrade = true;
    if (name == "Access-Control-Request-Method") head.preflight = head.method == "OPTIONS";
  }
  return head;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto [configText, headText] = rdrfuzz::SplitInTwo(rdrfuzz::AsText(data, size));
  try {
    rdrd::ParseConfig(configText, "fuzz.toml", {"H10301", "EM4100"});
  } catch (const rdrd::ConfigError&) {
  }
  rdrd::Config config;
  config.token = "T0ken";
  config.allowedOrigins = {"https://pos.example"};
  const auto policy = rdrd::MakeAccessPolicy(config, {*rdrd::ParseListenAddress("127.0.0.1:8765")});
  const auto decision = rdrd::Decide(HeadOf(headText), policy);
  if (decision.status == 200 && decision.route != rdrd::Route::Preflight) {
    rdrfuzz::Require(headText.find("T0ken") != std::string::npos, "let through without the token");
  }
  rdrfuzz::Require(decision.status == 200 || !decision.reason.empty(), "a refusal without its reason");
  return 0;
}
