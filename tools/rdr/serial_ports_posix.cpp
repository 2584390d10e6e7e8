#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "rdr00800/Rdr00800.h"
#include "serial_ports.h"

namespace rdr {
namespace {

namespace fs = std::filesystem;

constexpr int kHighestComPort = 256;

bool IsSerialDeviceName(const std::string& name) {
  for (const char* prefix : {"ttyS", "ttyUSB", "ttyACM"}) {
    const size_t length = std::strlen(prefix);
    if (name.size() > length && name.compare(0, length, prefix) == 0 &&
        std::all_of(name.begin() + static_cast<std::ptrdiff_t>(length), name.end(),
                    [](char c) { return c >= '0' && c <= '9'; })) {
      return true;
    }
  }
  return false;
}

// The COM name the library resolves to `device`, if any; asks the library
// rather than repeating its naming rule, so port mappings count as well.
std::string PortNameForDevice(const std::string& device) {
  for (int number = 1; number <= kHighestComPort; ++number) {
    std::string port = "COM" + std::to_string(number);
    if (Rdr00800::PortDevicePath(port) == device) return port;
  }
  return {};
}

}  // namespace

std::string PortStateName(Rdr00800::ReadStatus state) {
  return state == Rdr00800::ReadStatus::Ok ? "free" : Rdr00800::ReadStatusName(state);
}

std::vector<SerialPortInfo> ListSerialPorts() {
  std::vector<SerialPortInfo> ports;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/dev", error)) {
    const std::string name = entry.path().filename().string();
    if (!IsSerialDeviceName(name)) continue;
    SerialPortInfo port;
    port.device = entry.path().string();
    port.portName = PortNameForDevice(port.device);
    // The library opens it as a poll would, so what is shown is what a host
    // would meet.
    port.state = Rdr00800::CheckPortOpens(port.device);
    port.detail = Rdr00800::LastReadMessage();
    ports.push_back(std::move(port));
  }
  // Stable names are links in /dev/serial/by-id to the devices above.
  for (const auto& link : fs::directory_iterator("/dev/serial/by-id", error)) {
    const fs::path target = fs::canonical(link.path(), error);
    if (error) continue;
    for (auto& port : ports) {
      if (port.device == target.string()) port.stableNames.push_back(link.path().string());
    }
  }
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return a.device.size() != b.device.size() ? a.device.size() < b.device.size() : a.device < b.device;
  });
  return ports;
}

}  // namespace rdr
