// Windows: the executable is the process's first module.
#include <windows.h>

#include "runtime/executable_directory.h"

namespace Rdr00800::detail {

std::string ExecutableDirectory() {
  // The path may exceed MAX_PATH with long-path support: grow until it fits.
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  const auto separator = path.find_last_of("\\/");
  if (separator == std::string::npos) return {};
  // A drive's root directory keeps its separator: "C:" alone would name the
  // drive's working directory.
  const bool driveRoot = separator == 2 && path[1] == ':';
  return path.substr(0, driveRoot ? separator + 1 : separator);
}

}  // namespace Rdr00800::detail
