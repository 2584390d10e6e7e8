// Readers behind a serial device server: port texts "rfc2217://HOST:PORT"
// (Telnet with the COM port option, which sets the server's line) and
// "tcp://HOST:PORT" (the bytes as they come; the line is the server's).
//
// Callers: SerialDevice::Open, handed this opener by the reads, on the thread
// polling the device, for a path IsNetworkPath accepts. The backend keeps the poll's bounds: resolving and
// connecting count within the first read's time-out, and it never waits for
// the server's answers before reading.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "device/device.h"

namespace Rdr00800::detail {

enum class NetworkProtocol : uint8_t { Rfc2217, RawTcp };

struct NetworkAddress {
  NetworkProtocol protocol = NetworkProtocol::Rfc2217;
  std::string host;  // without the brackets of an IPv6 address
  uint16_t port = 0;
};

// The address a network path names; nullopt with `error` saying what is
// wrong with the text. Pure; any thread.
std::optional<NetworkAddress> ParseNetworkPath(std::string_view path, std::string& error);

// Connects to the reader `path` names, before the poll's second is out;
// nullptr with `failure` set (NoSuchDevice for a malformed text, a name that
// does not resolve or nothing listening) when it cannot.
std::unique_ptr<DeviceBackend> OpenNetworkDevice(const std::string& path, DeviceFailure& failure);

}  // namespace Rdr00800::detail
