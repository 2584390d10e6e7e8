// The reader on Windows: scripts/test_windows.sh joins COM1 and COM2 through
// a pseudo-terminal pair, the library reads COM1 and the test writes the
// reader's bytes into COM2.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>

#include "device/device.h"
#include "runtime/unique_handle_win32.h"
#include "support/simulated_reader.h"

namespace rdrtest {
namespace {

class ComReader : public SimulatedReader {
 public:
  // Opens the reader's side and reads away whatever an earlier test left on
  // the library's side. Fails the test when the ports are not set up.
  ComReader()
      : port_(::CreateFileA("\\\\.\\COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {
    if (!port_) {
      ADD_FAILURE() << "COM2 cannot be opened (error " << ::GetLastError() << "): run the suite from test_windows.sh";
      return;
    }
    auto device = Rdr00800::detail::SerialDevice::Open(devicePath_);
    if (!device || !device->SetReadTimeout(std::chrono::milliseconds(50))) return;
    std::array<char, 256> leftover;
    while (device->ReadOnce(leftover).value_or(0) > 0) {
    }
  }
  ~ComReader() override { JoinSender(); }

  const std::string& DevicePath() const override { return devicePath_; }

  void Send(std::string_view bytes) override {
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(port_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_EQ(written, bytes.size());
  }

 private:
  const std::string devicePath_ = "COM1:";
  Rdr00800::detail::UniqueHandle port_;
};

}  // namespace

std::unique_ptr<SimulatedReader> NewSimulatedReader() { return std::make_unique<ComReader>(); }

int OpenHandleCount() {
  DWORD count = 0;
  ::GetProcessHandleCount(::GetCurrentProcess(), &count);
  return static_cast<int>(count);
}

bool PortsAreExclusive() {
  // Wine lets a second open of a held port through.
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return !(ntdll && ::GetProcAddress(ntdll, "wine_get_version"));
}

int HangUpError() { return ERROR_OPERATION_ABORTED; }

}  // namespace rdrtest
