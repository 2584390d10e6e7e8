// The serial device layer on Windows: the communications functions of the
// kernel on a handle opened without sharing, which makes the hold exclusive.
// Reads are overlapped, so that a held read waits on the port and the wake
// signal together.
#include <windows.h>

#include <algorithm>
#include <array>
#include <charconv>

#include "device/device.h"
#include "device/port_names.h"
#include "device/system_call_faults.h"
#include "device/wake_signal.h"
#include "runtime/unique_handle_win32.h"

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

// What an error from CreateFileA means to the reader. A port another program
// has open fails with access denied, as the share mode 0 of every holder makes
// it; a directory fails the same way, so it is told apart by its attributes.
ReadStatus OpenStatus(DWORD error, const std::string& path) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
      return ReadStatus::NoSuchDevice;
    case ERROR_ACCESS_DENIED: {
      const DWORD attributes = ::GetFileAttributesA(path.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return ReadStatus::NotASerialPort;
      }
      return ReadStatus::Busy;
    }
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return ReadStatus::Busy;
    case ERROR_PRIVILEGE_NOT_HELD:
      return ReadStatus::PermissionDenied;
    default:
      return ReadStatus::IoError;
  }
}

// What an error of the line functions means: a handle that is no
// communications device refuses them as an invalid function or handle.
ReadStatus LineStatus(DWORD error) {
  switch (error) {
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_HANDLE:
    case ERROR_NOT_SUPPORTED:
      return ReadStatus::NotASerialPort;
    case ERROR_INVALID_PARAMETER:
      return ReadStatus::LineRefused;
    default:
      return ReadStatus::IoError;
  }
}

// A port whose device was removed fails its pending read with one of these.
ReadStatus ReadStatusOf(DWORD error) {
  switch (error) {
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
      return ReadStatus::HungUp;
    default:
      return ReadStatus::IoError;
  }
}

}  // namespace

std::string DevicePathForName(std::string_view deviceName) {
  std::string_view port = deviceName;
  if (port.ends_with(':')) port.remove_suffix(1);
  if (auto mapped = MappedDevicePath(port)) return std::move(*mapped);
  if (port.empty()) return {};
  if (IsNetworkPath(port)) return std::string(port);
  // Only COM1..COM9 are DOS device names that "COMn:" reaches; higher
  // numbers exist only in the device namespace.
  if (ComPortNumber(port) >= 10) return "\\\\.\\" + std::string(port);
  return std::string(port) + ":";
}

namespace {

class CommPortBackend final : public DeviceBackend {
 public:
  CommPortBackend(UniqueHandle port, UniqueHandle readDone) noexcept
      : port_(std::move(port)), readDone_(std::move(readDone)) {}

  std::optional<LineSettings> GetLineSettings() override;
  bool SetLineSettings(const LineSettings& settings) override;
  bool SetQueueSizes(size_t input, size_t output) override;
  bool SetReadTimeout(std::chrono::milliseconds total, std::chrono::milliseconds interval) override;
  std::optional<size_t> ReadOnce(std::span<char> buffer) override;
  std::optional<size_t> ReadAvailable(std::span<char> buffer, std::chrono::milliseconds wait,
                                      const WakeSignal& wake) override;

 private:
  bool Apply(const COMMTIMEOUTS& timeouts);
  std::optional<size_t> Read(std::span<char> buffer, HANDLE wake, DWORD timeoutMs);
  // The count of bytes the driver holds for reading; clears its error flags.
  std::optional<size_t> Queued();

  UniqueHandle port_;
  UniqueHandle readDone_;              // the event of the read in progress
  std::optional<DCB> line_;            // as the device reported it
  COMMTIMEOUTS readTimeouts_{};        // what SetReadTimeout asked for
  bool availableTimeoutsSet_ = false;  // ReadAvailable's are in force instead
};

// The limit of one held read without a byte. ReadAvailable ends its reads
// itself, at its wait or the wake signal; this only bounds a read whose
// cancel the driver ignores.
constexpr DWORD kHeldReadLimitMs = 60'000;

// The milliseconds left until `deadline`, rounded up so that a wait does not
// end just before it.
DWORD MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  return static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

}  // namespace

std::unique_ptr<DeviceBackend> OpenSerialPort(const std::string& path, DeviceFailure& failure) {
  UniqueHandle port;
  // Share mode 0: while this handle is open every other open of the port
  // fails, in this process or another.
  Succeeds(SystemCall::Open, [&] {
    port = UniqueHandle(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
    return static_cast<bool>(port);
  });
  if (!port) {
    const DWORD error = ::GetLastError();
    failure = {OpenStatus(error, path), static_cast<int>(error)};
    return nullptr;
  }
  UniqueHandle readDone(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!readDone) {
    const DWORD error = ::GetLastError();
    failure = {ReadStatus::IoError, static_cast<int>(error)};
    return nullptr;
  }
  return std::make_unique<CommPortBackend>(std::move(port), std::move(readDone));
}

std::optional<LineSettings> CommPortBackend::GetLineSettings() {
  DCB line{};
  line.DCBlength = sizeof line;
  if (!Succeeds(SystemCall::GetLine, [&] { return ::GetCommState(port_.get(), &line); })) {
    const DWORD error = ::GetLastError();
    return Fail(LineStatus(error), static_cast<int>(error));
  }
  line_ = line;
  LineSettings settings;
  settings.baud = static_cast<int32_t>(line.BaudRate);
  settings.dataBits = line.ByteSize;
  settings.parity = line.Parity == ODDPARITY ? Parity::Odd : line.Parity == EVENPARITY ? Parity::Even : Parity::None;
  settings.stopBits = line.StopBits == TWOSTOPBITS ? 2 : 1;
  return settings;
}

bool CommPortBackend::SetLineSettings(const LineSettings& settings) {
  if (!line_) return Fail(ReadStatus::NotASerialPort, 0), false;
  if (!settings.Valid()) return Fail(ReadStatus::LineRefused, 0), false;
  DCB line = *line_;
  line.BaudRate = static_cast<DWORD>(settings.baud);
  line.ByteSize = settings.dataBits;
  line.Parity = ParityCode(settings.parity);
  line.fParity = settings.parity != Parity::None;
  line.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  // XON/XOFF on output only makes the driver swallow 0x11 and 0x13 from
  // frames, as the poll never writes; fInX and hardware flow control stay.
  line.fOutX = FALSE;
  if (Succeeds(SystemCall::SetLine, [&] { return ::SetCommState(port_.get(), &line); })) return true;
  const DWORD error = ::GetLastError();
  return Fail(LineStatus(error), static_cast<int>(error)), false;
}

bool CommPortBackend::SetQueueSizes(size_t input, size_t output) {
  if (::SetupComm(port_.get(), static_cast<DWORD>(input), static_cast<DWORD>(output)) != FALSE) return true;
  const DWORD error = ::GetLastError();
  return Fail(LineStatus(error), static_cast<int>(error)), false;
}

bool CommPortBackend::Apply(const COMMTIMEOUTS& timeouts) {
  COMMTIMEOUTS copy = timeouts;
  if (::SetCommTimeouts(port_.get(), &copy) != FALSE) return true;
  const DWORD error = ::GetLastError();
  return Fail(LineStatus(error), static_cast<int>(error)), false;
}

bool CommPortBackend::SetReadTimeout(std::chrono::milliseconds total, std::chrono::milliseconds interval) {
  if (total <= std::chrono::milliseconds::zero() || interval < std::chrono::milliseconds::zero()) {
    return Fail(ReadStatus::LineRefused, 0), false;
  }
  // One read ends at the byte count, at the total, or (interval above 0) once
  // the line was quiet that long after a byte. The write limit matches the
  // total; nothing here writes.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = static_cast<DWORD>(interval.count());
  timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(total.count());
  timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(total.count());
  if (!Apply(timeouts)) return false;
  readTimeouts_ = timeouts;
  availableTimeoutsSet_ = false;
  return true;
}

// One read, waited for until it ends by the port's time-outs, until `wake`
// (may be null) is signalled or until `timeoutMs` passed. A read ended early
// is cancelled and then collected, so the bytes it took are returned, not
// left in a buffer nobody reads.
std::optional<size_t> CommPortBackend::Read(std::span<char> buffer, HANDLE wake, DWORD timeoutMs) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = readDone_.get();
  DWORD count = 0;
  bool cancelled = false;
  if (Succeeds(SystemCall::Read, [&] {
        if (!::ReadFile(port_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlapped) &&
            ::GetLastError() != ERROR_IO_PENDING) {
          return FALSE;
        }
        const std::array<HANDLE, 2> events = {readDone_.get(), wake};
        if (::WaitForMultipleObjects(wake ? 2 : 1, events.data(), FALSE, timeoutMs) != WAIT_OBJECT_0) {
          cancelled = ::CancelIoEx(port_.get(), &overlapped) != FALSE;
        }
        return ::GetOverlappedResult(port_.get(), &overlapped, &count, TRUE);
      })) {
    return count;
  }
  const DWORD error = ::GetLastError();
  // Aborted by its own cancel: the port is fine.
  if (cancelled && error == ERROR_OPERATION_ABORTED) return count;
  return Fail(ReadStatusOf(error), static_cast<int>(error));
}

std::optional<size_t> CommPortBackend::Queued() {
  COMSTAT status{};
  DWORD errors = 0;
  if (::ClearCommError(port_.get(), &errors, &status) != FALSE) return status.cbInQue;
  const DWORD error = ::GetLastError();
  return Fail(ReadStatusOf(error), static_cast<int>(error));
}

std::optional<size_t> CommPortBackend::ReadOnce(std::span<char> buffer) {
  if (availableTimeoutsSet_) {
    if (!Apply(readTimeouts_)) return std::nullopt;
    availableTimeoutsSet_ = false;
  }
  return Read(buffer, nullptr, INFINITE);
}

std::optional<size_t> CommPortBackend::ReadAvailable(std::span<char> buffer, std::chrono::milliseconds wait,
                                                     const WakeSignal& wake) {
  if (wake.Raised() || buffer.empty()) return 0;
  if (!availableTimeoutsSet_) {
    // MAXDWORD interval and multiplier: a read returns as soon as one byte is
    // there, or after the constant with none.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = kHeldReadLimitMs;
    if (!Apply(timeouts)) return std::nullopt;
    availableTimeoutsSet_ = true;
  }
  // Without queued bytes, a read of one byte waits for the first: Wine ends
  // a longer read only when it is full or timed out. What came with it is
  // queued by then and read at once.
  std::optional<size_t> queued = Queued();
  if (!queued) return std::nullopt;
  size_t count = 0;
  if (*queued == 0) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    const auto wakeEvent = reinterpret_cast<HANDLE>(wake.NativeHandle());
    for (;;) {
      const auto got = Read(buffer.first(1), wakeEvent, MillisecondsLeft(deadline));
      if (!got) return got;
      if (*got > 0) break;
      if (wake.Raised() || std::chrono::steady_clock::now() >= deadline) return 0;
    }
    count = 1;
    queued = Queued();
    if (!queued) return std::nullopt;
  }
  const size_t more = std::min(*queued, buffer.size() - count);
  if (more == 0) return count;
  const auto rest = Read(buffer.subspan(count, more), nullptr, INFINITE);
  if (!rest) return rest;
  return count + *rest;
}

}  // namespace Rdr00800::detail
