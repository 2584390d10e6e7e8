// Linux side of the test kit: mkdtemp, setenv, where Debian puts ODBC drivers.
#include <stdlib.h>

#include <cerrno>
#include <system_error>

#include "support/test_kit.h"

namespace rdrtest {

// Linux's timers never end a wait early, and a wait begins after the test's
// clock started.
const std::chrono::milliseconds kTimerEarliness{0};

std::filesystem::path MakeTempDirectory(const std::string& nameHint) {
  std::string pattern = "/tmp/" + nameHint + "-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
  return pattern;
}

void SetEnvironment(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }

std::filesystem::path FindOdbcDriverLibrary(const std::string& fileName) {
  for (const char* directory : {"/usr/lib/x86_64-linux-gnu/odbc", "/usr/lib/aarch64-linux-gnu/odbc",
                                "/usr/lib/i386-linux-gnu/odbc", "/usr/lib/odbc", "/usr/lib64", "/usr/local/lib"}) {
    std::error_code error;
    auto candidate = std::filesystem::path(directory) / fileName;
    if (std::filesystem::is_regular_file(candidate, error)) return candidate;
  }
  return {};
}

}  // namespace rdrtest
