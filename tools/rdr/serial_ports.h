// Serial devices as rdr shows them. One backend per platform
// (serial_ports_posix.cpp). Main thread; every call returns at once (opens
// are non-blocking).
#pragma once

#include <string>
#include <vector>

#include "rdr00800/Rdr00800.h"

namespace rdr {

struct SerialPortInfo {
  std::string device;                    // /dev/ttyUSB0
  std::vector<std::string> stableNames;  // /dev/serial/by-id/... links to it
  std::string portName;                  // COMn the library maps to it, or empty
  // Whether a poll could open it now, as the library says, and why not.
  Rdr00800::ReadStatus state = Rdr00800::ReadStatus::NoSuchDevice;
  std::string detail;
};

// "free" for a device a poll could open now, else the status's name.
std::string PortStateName(Rdr00800::ReadStatus state);

// The serial devices present, sorted by name.
std::vector<SerialPortInfo> ListSerialPorts();

}  // namespace rdr
