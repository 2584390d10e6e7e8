// The broker address rdrd's MQTT link can use. The configuration checks a URL
// with it when the file is read, so a URL the link cannot use stops the start
// instead of leaving the service without its broker.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rdrd {

struct BrokerAddress {
  std::string host;  // a name, an IPv4 address or an IPv6 address without brackets
  uint16_t port = 1883;
};

// Reads "mqtt://HOST[:PORT][/]" (HOST a name, an IPv4 address or [IPv6]).
// Throws std::invalid_argument whose text is the reason alone.
BrokerAddress ParseBrokerUrl(std::string_view url);

}  // namespace rdrd
