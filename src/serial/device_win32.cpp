// The serial device layer on Windows: the communications functions of the
// kernel on a handle opened without sharing, which makes the hold exclusive.
#include <windows.h>

#include <charconv>

#include "runtime/unique_handle_win32.h"
#include "serial/device.h"
#include "serial/port_names.h"
#include "serial/system_call_faults.h"

namespace Rdr00800::detail {

namespace {

// Runs a call that reports failure as FALSE with the thread's last error. An
// injected failure stands in for the call.
template <class Call>
bool Succeeds(SystemCall kind, Call&& call) {
  if (const int injected = TakeInjectedFailure(kind)) {
    ::SetLastError(static_cast<DWORD>(injected));
    return false;
  }
  return call() != FALSE;
}

// The number n of a port text "COMn" (any letter case, n >= 1 without a
// leading zero); 0 for any other text.
unsigned ComPortNumber(std::string_view port) {
  if (port.size() < 4 || ::CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, port.data(), 3, "COM", 3) != CSTR_EQUAL) {
    return 0;
  }
  const std::string_view digits = port.substr(3);
  unsigned number = 0;
  const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || stop != digits.data() + digits.size() || digits.front() == '0') return 0;
  return number;
}

constexpr BYTE ParityCode(Parity parity) {
  switch (parity) {
    case Parity::Odd:
      return ODDPARITY;
    case Parity::Even:
      return EVENPARITY;
    case Parity::None:
      break;
  }
  return NOPARITY;
}

}  // namespace

std::string DevicePathForName(std::string_view deviceName) {
  std::string_view port = deviceName;
  if (port.ends_with(':')) port.remove_suffix(1);
  if (auto mapped = MappedDevicePath(port)) return std::move(*mapped);
  if (port.empty()) return {};
  // Only COM1..COM9 are DOS device names that "COMn:" reaches; higher
  // numbers exist only in the device namespace.
  if (ComPortNumber(port) >= 10) return "\\\\.\\" + std::string(port);
  return std::string(port) + ":";
}

struct SerialDevice::Native {
  UniqueHandle port;
  std::optional<DCB> line;  // as the device reported it
};

SerialDevice::SerialDevice(std::unique_ptr<Native> native) noexcept : native_(std::move(native)) {}
SerialDevice::SerialDevice(SerialDevice&&) noexcept = default;
SerialDevice& SerialDevice::operator=(SerialDevice&&) noexcept = default;
SerialDevice::~SerialDevice() = default;

std::optional<SerialDevice> SerialDevice::Open(std::string_view deviceName) {
  const std::string path = DevicePathForName(deviceName);
  if (path.empty()) return std::nullopt;
  auto native = std::make_unique<Native>();
  // Share mode 0: while this handle is open every other open of the port
  // fails, in this process or another.
  Succeeds(SystemCall::Open, [&] {
    native->port = UniqueHandle(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(native->port);
  });
  if (!native->port) return std::nullopt;
  return SerialDevice(std::move(native));
}

std::optional<LineSettings> SerialDevice::GetLineSettings() {
  DCB line{};
  line.DCBlength = sizeof line;
  if (!Succeeds(SystemCall::GetLine, [&] { return ::GetCommState(native_->port.get(), &line); })) return std::nullopt;
  native_->line = line;
  LineSettings settings;
  settings.baud = static_cast<int32_t>(line.BaudRate);
  settings.dataBits = line.ByteSize;
  settings.parity = line.Parity == ODDPARITY ? Parity::Odd : line.Parity == EVENPARITY ? Parity::Even : Parity::None;
  settings.stopBits = line.StopBits == TWOSTOPBITS ? 2 : 1;
  return settings;
}

bool SerialDevice::SetLineSettings(const LineSettings& settings) {
  if (!native_->line || settings.baud <= 0) return false;
  if (settings.dataBits < 5 || settings.dataBits > 8 || settings.stopBits < 1 || settings.stopBits > 2) return false;
  DCB line = *native_->line;
  line.BaudRate = static_cast<DWORD>(settings.baud);
  line.ByteSize = settings.dataBits;
  line.Parity = ParityCode(settings.parity);
  line.fParity = settings.parity != Parity::None;
  line.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  return Succeeds(SystemCall::SetLine, [&] { return ::SetCommState(native_->port.get(), &line); });
}

bool SerialDevice::SetQueueSizes(size_t input, size_t output) {
  return ::SetupComm(native_->port.get(), static_cast<DWORD>(input), static_cast<DWORD>(output)) != FALSE;
}

bool SerialDevice::SetReadTimeout(std::chrono::milliseconds total, std::chrono::milliseconds interval) {
  if (total <= std::chrono::milliseconds::zero() || interval < std::chrono::milliseconds::zero()) return false;
  // One read ends at the byte count, at the total, or (interval above 0) once
  // the line was quiet that long after a byte. The write limit matches the
  // total; nothing here writes.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = static_cast<DWORD>(interval.count());
  timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(total.count());
  timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(total.count());
  return ::SetCommTimeouts(native_->port.get(), &timeouts) != FALSE;
}

std::optional<size_t> SerialDevice::ReadOnce(std::span<char> buffer) {
  DWORD count = 0;
  if (!Succeeds(SystemCall::Read, [&] {
        return ::ReadFile(native_->port.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &count, nullptr);
      })) {
    return std::nullopt;
  }
  return count;
}

}  // namespace Rdr00800::detail
