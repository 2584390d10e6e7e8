#include "broker_url.h"

#include <charconv>
#include <stdexcept>

namespace rdrd {

BrokerAddress ParseBrokerUrl(std::string_view url) {
  const auto fail = [](const char* why) { throw std::invalid_argument(why); };
  constexpr std::string_view kScheme = "mqtt://";
  // No TLS and no credentials: the link speaks plain MQTT to a broker it trusts.
  if (!url.starts_with(kScheme)) fail("only mqtt://HOST[:PORT] is supported");
  std::string_view rest = url.substr(kScheme.size());
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  std::string_view hostText = rest;
  std::string_view portText;
  if (rest.starts_with('[')) {
    const auto close = rest.find(']');
    if (close == std::string_view::npos) fail("no ] after the IPv6 address");
    hostText = rest.substr(1, close - 1);
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') fail("text after the IPv6 address");
      portText = after.substr(1);
    }
  } else if (const auto colon = rest.find(':'); colon != std::string_view::npos) {
    hostText = rest.substr(0, colon);
    portText = rest.substr(colon + 1);
  }
  if (hostText.empty() || hostText.find_first_of("/@?#[] ") != std::string_view::npos) fail("no usable host");
  BrokerAddress address{std::string(hostText)};
  if (rest.size() > hostText.size() && portText.empty() && !rest.ends_with(']')) fail("empty port");
  if (!portText.empty()) {
    const auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), address.port);
    if (error != std::errc() || end != portText.data() + portText.size() || address.port == 0) fail("bad port");
  }
  return address;
}

}  // namespace rdrd
