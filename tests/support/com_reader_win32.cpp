#include "support/com_reader_win32.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>

#include "serial/device.h"

namespace rdrtest {

ComReader::ComReader()
    : port_(::CreateFileA("\\\\.\\COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {
  if (!port_) {
    ADD_FAILURE() << "COM2 cannot be opened (error " << ::GetLastError() << "): run the suite from test_windows.sh";
    return;
  }
  auto device = Rdr00800::detail::SerialDevice::Open(std::string(kLibraryPort) + ":");
  if (!device || !device->SetReadTimeout(std::chrono::milliseconds(50))) return;
  std::array<char, 256> leftover;
  while (device->ReadOnce(leftover).value_or(0) > 0) {
  }
}

void ComReader::Send(std::string_view bytes) {
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(port_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  ASSERT_EQ(written, bytes.size());
}

bool RunningUnderWine() {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

}  // namespace rdrtest
