#include "command.h"

#include "rdr00800/Rdr00800.h"
#include "serial_ports.h"

namespace rdr {

std::shared_ptr<bool> AddJsonFlag(CLI::App& command) {
  auto json = std::make_shared<bool>(false);
  command.add_flag("--json", *json, "Print each result as one JSON object on its own line");
  return json;
}

std::string DeviceNamedBy(const std::string& port) {
  const std::string device = Rdr00800::PortDevicePath(port);
  if (device.empty()) {
    throw CommandError(kExitDeviceUnavailable, "port " + port + " names no device (use COMn, LPT1 or a /dev path)");
  }
  return device;
}

std::string RequireOpenableDevice(const std::string& port) {
  const std::string device = DeviceNamedBy(port);
  std::string detail;
  const PortState state = ProbePort(device, detail);
  if (state != PortState::Free) {
    throw CommandError(kExitDeviceUnavailable, "cannot open " + device + ": " + detail);
  }
  return device;
}

int32_t SpeedIndex(int32_t baud) {
  const std::string text = std::to_string(baud);
  for (size_t index = 0; index < Rdr00800::Velocidades.size(); ++index) {
    if (Rdr00800::Velocidades[index] == text) return static_cast<int32_t>(index);
  }
  std::string speeds;
  for (const auto& speed : Rdr00800::Velocidades) speeds += " " + speed;
  throw CommandError(kExitBadArguments, "the optical reader takes one of the speeds" + speeds);
}

}  // namespace rdr
