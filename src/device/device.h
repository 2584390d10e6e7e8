// The serial device layer: what the one-shot read and a reader held open need
// from a serial port, with one backend per platform (device_linux.cpp,
// device_win32.cpp), chosen by CMake.
//
// Callers: the one-shot read and the reader session (src/serial), on whatever thread runs it
// (the scanner thread for the optical reader, the host's thread for the
// proximity reader). A SerialDevice belongs to one thread at a time; distinct
// devices may be used from distinct threads at once. No operation throws
// except std::bad_alloc; failure is reported through the return value and
// leaves the device open, to be closed by its destructor.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "rdr00800/Rdr00800.h"

namespace Rdr00800::detail {

// How long one read of a reader waits for its bytes: the poll's second, which
// also bounds a network reader's connect and its first answers.
inline constexpr std::chrono::milliseconds kReadTimeout{1000};

// The texts that name readers on the network: "rfc2217://HOST:PORT" (Telnet
// with the COM port option) and "tcp://HOST:PORT" (the bytes as they come).
inline constexpr std::string_view kRfc2217Scheme = "rfc2217://";
inline constexpr std::string_view kTcpScheme = "tcp://";

// Whether `path` begins with one of those schemes (any letter case). Pure;
// any thread.
bool IsNetworkPath(std::string_view path);

enum class Parity : uint8_t { None, Odd, Even };

// The part of a line's settings the read changes. Everything else the device
// reports (flow control, special characters) is kept by the backend between
// GetLineSettings and SetLineSettings.
struct LineSettings {
  int32_t baud = 0;
  uint8_t dataBits = 8;  // 5..8
  Parity parity = Parity::None;
  uint8_t stopBits = 1;  // 1 or 2

  // Whether a line can be asked for at all: a rate of 0 or below would hang
  // the reader up, and other sizes are no line.
  bool Valid() const { return baud > 0 && dataBits >= 5 && dataBits <= 8 && stopBits >= 1 && stopBits <= 2; }
};

// The path the backend opens for a device name (a port text followed by ":"),
// or the empty text when the name names no device. A mapping set with
// SetPortDevice comes first. Any thread; does not block beyond the mapping's
// lock.
std::string DevicePathForName(std::string_view deviceName);

// Why a device operation failed, classified by the backend where the system
// error is known: `systemError` is the errno value (GetLastError on Windows),
// 0 when the backend refused on its own (a speed of 0, a time-out of 0).
// `detail` is what only the backend can say, for the message: a network
// reader's address, or what its server answered.
struct DeviceFailure {
  DeviceFailure() = default;
  DeviceFailure(ReadStatus why, int error, std::string text = {})
      : status(why), systemError(error), detail(std::move(text)) {}

  ReadStatus status = ReadStatus::Ok;
  int systemError = 0;
  std::string detail;
};

class WakeSignal;

// What one kind of device does for a SerialDevice: a serial port of this
// platform (device_linux.cpp, device_win32.cpp) or a reader reached over the
// network. Each operation has the contract of the SerialDevice operation of
// the same name below; a failure is recorded with Fail for LastFailure.
class DeviceBackend {
 public:
  virtual ~DeviceBackend() = default;
  virtual std::optional<LineSettings> GetLineSettings() = 0;
  virtual bool SetLineSettings(const LineSettings& settings) = 0;
  virtual bool SetQueueSizes(size_t input, size_t output) = 0;
  virtual bool SetReadTimeout(std::chrono::milliseconds total, std::chrono::milliseconds interval) = 0;
  virtual std::optional<size_t> ReadOnce(std::span<char> buffer) = 0;
  virtual std::optional<size_t> ReadAvailable(std::span<char> buffer, std::chrono::milliseconds wait,
                                              const WakeSignal& wake) = 0;
  const DeviceFailure& LastFailure() const noexcept { return failure_; }

 protected:
  // Records why an operation failed; returns what a failed read returns.
  std::nullopt_t Fail(ReadStatus status, int systemError, std::string detail = {}) noexcept {
    failure_ = {status, systemError, std::move(detail)};
    return std::nullopt;
  }

 private:
  DeviceFailure failure_;
};

// Opens the serial port of this platform at `path` (what DevicePathForName
// gave), as SerialDevice::Open describes; nullptr with `failure` set when it
// cannot. One definition per platform.
std::unique_ptr<DeviceBackend> OpenSerialPort(const std::string& path, DeviceFailure& failure);

// Opens a reader on the network at `path` (IsNetworkPath accepts it), as
// OpenSerialPort does a local port. The layer that knows the protocols has
// one (network/network_device.h); this layer only hands paths to it.
using NetworkOpener = std::unique_ptr<DeviceBackend> (*)(const std::string& path, DeviceFailure& failure);

// An open device, held exclusively: while it exists no other SerialDevice, in
// this process or another, can open the same port. Move-only; the destructor
// releases the exclusive hold and closes the device.
class SerialDevice {
 public:
  // Opens the named device for reading and writing, exclusively, without
  // waiting for carrier and without purging its queues. A name whose path is
  // a network reader's is opened through `openNetworkDevice`; without one it
  // names no device. nullopt when the name names no device, the device cannot
  // be opened, or another holder has it; then `failure`, when given, says
  // which. Does not block (a network opener keeps the poll's second).
  static std::optional<SerialDevice> Open(std::string_view deviceName, DeviceFailure* failure = nullptr,
                                          NetworkOpener openNetworkDevice = nullptr);

  SerialDevice(SerialDevice&&) noexcept = default;
  SerialDevice& operator=(SerialDevice&&) noexcept = default;
  ~SerialDevice() = default;

  // The line settings the device reports now; nullopt when it reports none
  // (not a serial line).
  std::optional<LineSettings> GetLineSettings() { return backend_->GetLineSettings(); }
  // Applies `settings` over what GetLineSettings last read. The line is made
  // transparent: bytes arrive as the reader sent them and nothing is echoed.
  // false when GetLineSettings never succeeded or the device refuses a
  // setting (a baud rate of 0 or below is refused here).
  bool SetLineSettings(const LineSettings& settings) { return backend_->SetLineSettings(settings); }
  // Driver queue sizes in bytes; false when the driver refuses them.
  bool SetQueueSizes(size_t input, size_t output) { return backend_->SetQueueSizes(input, output); }
  // How long one ReadOnce may last, counted from its start, and the quiet
  // interval after a byte that also ends it (zero: none).
  bool SetReadTimeout(std::chrono::milliseconds total,
                      std::chrono::milliseconds interval = std::chrono::milliseconds::zero()) {
    return backend_->SetReadTimeout(total, interval);
  }
  // Reads once: returns as soon as buffer.size() bytes have arrived, once the
  // interval has passed without a byte after at least one arrived, or when
  // the read time-out has passed since the call began, with the count of
  // bytes read. Blocks up to the time-out; signals neither end
  // it early nor lose bytes. nullopt when the device fails or hangs up during
  // the read, whatever had arrived.
  std::optional<size_t> ReadOnce(std::span<char> buffer) { return backend_->ReadOnce(buffer); }
  // For a reader held open between codes: waits up to `wait` for at least one
  // byte and returns with what has arrived by then, at most buffer.size()
  // bytes; 0 when `wait` passed or `wake` was raised first (raised before the
  // call, it returns at once). Ignores SetReadTimeout. nullopt when the device
  // fails or hangs up.
  std::optional<size_t> ReadAvailable(std::span<char> buffer, std::chrono::milliseconds wait, const WakeSignal& wake) {
    return backend_->ReadAvailable(buffer, wait, wake);
  }

  // Why the latest of the operations above that failed, failed.
  const DeviceFailure& LastFailure() const noexcept { return backend_->LastFailure(); }

 private:
  explicit SerialDevice(std::unique_ptr<DeviceBackend> backend) noexcept : backend_(std::move(backend)) {}
  std::unique_ptr<DeviceBackend> backend_;
};

}  // namespace Rdr00800::detail
