#include <windows.h>

#include "device/device_diagnosis.h"

namespace Rdr00800::detail {

std::string SystemErrorText(int error) {
  char* text = nullptr;
  const DWORD length =
      ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length ? std::string(text, length) : "error " + std::to_string(error);
  ::LocalFree(text);
  // The system's texts end with a full stop and a line end.
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.')) result.pop_back();
  return result;
}

std::string NoDeviceHint() { return "map it with SetPortDevice or use the reader's COMn"; }

// Windows grants serial ports to every user; a denied open is a holder.
std::string PermissionHint(const std::string&) { return {}; }

// Windows keeps no record of which process has a port open that a user
// program may read.
std::string BusyReason(const std::string&) { return "held by another program"; }

}  // namespace Rdr00800::detail
