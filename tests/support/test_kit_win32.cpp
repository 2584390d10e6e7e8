// Windows side of the test kit: GetTempPathA, SetEnvironmentVariableA.
#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "support/test_kit.h"

namespace rdrtest {

// Windows keeps a port's time-outs and waits on its clock tick (15.6 ms
// unless a program asks for less), so they may end up to a tick before the
// time asked; Wine's server keeps them to the millisecond, and 999 ms of
// steady_clock have been seen for a second's time-out there.
const std::chrono::milliseconds kTimerEarliness{16};

std::filesystem::path MakeTempDirectory(const std::string& nameHint) {
  char base[MAX_PATH + 1];
  const DWORD length = ::GetTempPathA(sizeof base, base);
  if (length == 0 || length > MAX_PATH) throw std::runtime_error("no temporary directory");
  static std::atomic<unsigned> serial{0};
  // Parallel test programs share the temporary directory: retry on a name taken.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string path = std::string(base, length) + nameHint + "-" + std::to_string(::GetCurrentProcessId()) +
                             "-" + std::to_string(serial++);
    if (::CreateDirectoryA(path.c_str(), nullptr)) return path;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw std::runtime_error("cannot create a temporary directory for " + nameHint);
}

void SetEnvironment(const char* name, const std::string& value) { ::SetEnvironmentVariableA(name, value.c_str()); }

// Windows registers its ODBC drivers in the registry, and Wine has no SQLite3
// driver: the tests that need a database are skipped there.
std::filesystem::path FindOdbcDriverLibrary(const std::string&) { return {}; }

}  // namespace rdrtest
