#include "demo_database.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "support/test_kit.h"

namespace rdr {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDriverName = "SQLite3";

// Read from the driver manager's own file rather than asked through ODBC:
// the driver manager caches what it read, so a private file set up after an
// ODBC call would go unseen.
bool DriverRegistered() {
  const char* directory = std::getenv("ODBCSYSINI");
  const char* file = std::getenv("ODBCINSTINI");
  std::ifstream ini(fs::path(directory ? directory : "/etc") / (file ? file : "odbcinst.ini"));
  const std::string section = std::string("[") + kDriverName + "]";
  for (std::string line; std::getline(ini, line);) {
    if (line.compare(0, section.size(), section) == 0) return true;
  }
  return false;
}

}  // namespace

std::string EnsureSqliteDriver(const std::string& privateDirectory) {
  if (DriverRegistered()) return "driver SQLite3 registered with the system";
  const auto library = rdrtest::FindOdbcDriverLibrary("libsqlite3odbc.so");
  if (library.empty()) {
    throw std::runtime_error("the ODBC driver SQLite3 is not installed (apt-get install libsqliteodbc)");
  }
  rdrtest::UsePrivateOdbcDrivers(privateDirectory, {{kDriverName, library}});
  const auto iniPath = fs::path(privateDirectory) / "odbcinst.ini";
  return "driver SQLite3 registered privately in " + iniPath.string();
}

}  // namespace rdr
