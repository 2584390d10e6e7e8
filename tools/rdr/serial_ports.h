// Serial devices as rdr shows them. One backend per platform
// (serial_ports_posix.cpp). Main thread; every call returns at once (opens
// are non-blocking).
#pragma once

#include <string>
#include <vector>

namespace rdr {

enum class PortState {
  Free,     // can be opened now
  Busy,     // another program holds it
  Denied,   // no permission
  NoLine,   // a device node with no serial line behind it
  Missing,  // no such device
};

const char* PortStateName(PortState state);

struct SerialPortInfo {
  std::string device;                  // /dev/ttyUSB0
  std::vector<std::string> stableNames;  // /dev/serial/by-id/... links to it
  std::string portName;                // COMn the library maps to it, or empty
  PortState state = PortState::Missing;
  std::string detail;                  // why it is not Free
};

// The serial devices present, sorted by name.
std::vector<SerialPortInfo> ListSerialPorts();

// Whether `device` can be opened now, as the library would (exclusively);
// `detail` gets the reason when not. The device is closed again.
PortState ProbePort(const std::string& device, std::string& detail);

}  // namespace rdr
