#include "device/port_names.h"

#include <map>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>

#include "decode/ascii_case.h"
#include "device/device.h"
#include "rdr00800/Rdr00800.h"

namespace Rdr00800 {

namespace {

std::shared_mutex mappingsMutex;
std::map<std::string, std::string, std::less<>> mappings;  // keyed by the lower-case port text

}  // namespace

void SetPortDevice(const std::string& port, const std::string& devicePath) {
  // Portas[0] is "": a host that maps it by mistake must not make "no port"
  // read a device.
  if (port.empty() && !devicePath.empty()) {
    throw std::invalid_argument("the empty port text names no device and cannot be mapped to " + devicePath);
  }
  std::string key = detail::AsciiLower(port);
  std::unique_lock lock(mappingsMutex);
  if (devicePath.empty()) {
    mappings.erase(key);
  } else {
    mappings.insert_or_assign(std::move(key), devicePath);
  }
}

std::string PortDevicePath(const std::string& port) {
  // The readers open a port as its device name, the port text and a colon.
  return detail::DevicePathForName(port + ":");
}

namespace detail {

std::optional<std::string> MappedDevicePath(std::string_view port) {
  const std::string key = detail::AsciiLower(port);
  std::shared_lock lock(mappingsMutex);
  auto found = mappings.find(key);
  if (found == mappings.end()) return std::nullopt;
  return found->second;
}

}  // namespace detail
}  // namespace Rdr00800
