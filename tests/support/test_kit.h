// The test kit: what tests, benchmarks and tools share beyond the simulated
// readers (simulated_reader.h, pty_reader.h): temporary directories, the
// executable's directory and a private ODBC driver configuration. Main thread.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "runtime/executable_directory.h"

namespace rdrtest {

// A fresh directory in the system's temporary directory, removed with
// everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string& nameHint = "rdr00800-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  // The path with a trailing separator, as the one-shot call takes it.
  std::string WithSeparator() const { return path_.string() + "/"; }

 private:
  std::filesystem::path path_;
};

// The directory of the running executable, as the library finds it; needs
// the library's internal interfaces (rdr00800_static or the file itself).
inline std::filesystem::path ExecutableDirectory() { return Rdr00800::detail::ExecutableDirectory(); }

// An ODBC driver by name and the file of its library.
struct OdbcDriver {
  std::string name;
  std::filesystem::path library;
};

// Points the driver manager at an odbcinst.ini in `directory` naming only
// `drivers` (no trace or communication logs) and at an empty odbc.ini. Before
// the first ODBC call: the driver manager caches what it read. Throws
// std::runtime_error when the files cannot be written.
void UsePrivateOdbcDrivers(const std::filesystem::path& directory, const std::vector<OdbcDriver>& drivers);

// UsePrivateOdbcDrivers with the SQLite3 and "PostgreSQL Unicode" drivers
// found, once per process, in a directory that lives as long as the process.
// False when no SQLite3 driver is installed.
bool UsePrivateOdbcConfiguration();
bool HavePostgresDriver();
// "Driver=SQLite3;Database=<file>" for a database file inside `dir`.
std::string SqliteConnectionString(const TempDir& dir);

// Per platform (test_kit_<platform>.cpp).

// How much earlier than asked a wait the library leaves to the platform's
// timer may end, as a test's steady_clock measures it. Lower bounds on such
// waits allow this much; the library's promise is the platform's timer.
extern const std::chrono::milliseconds kTimerEarliness;

// Creates a fresh directory named after `nameHint` in the temporary directory.
std::filesystem::path MakeTempDirectory(const std::string& nameHint);
// Sets a variable of this process's environment.
void SetEnvironment(const char* name, const std::string& value);
// The installed ODBC driver library of that file name (libsqlite3odbc.so,
// psqlodbcw.so) in the usual library directories; empty when there is none.
std::filesystem::path FindOdbcDriverLibrary(const std::string& fileName);

}  // namespace rdrtest
