#include "support/test_kit.h"

#include <fstream>
#include <stdexcept>
#include <system_error>

namespace rdrtest {

TempDir::TempDir(const std::string& nameHint) : path_(MakeTempDirectory(nameHint)) {}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void UsePrivateOdbcDrivers(const std::filesystem::path& directory, const std::vector<OdbcDriver>& drivers) {
  const auto driverFile = directory / "odbcinst.ini";
  std::ofstream ini(driverFile);
  for (const OdbcDriver& driver : drivers) {
    ini << "[" << driver.name << "]\nDriver=" << driver.library.string() << "\nDebug=0\nCommLog=0\n\n";
  }
  if (!ini.flush()) throw std::runtime_error("cannot write " + driverFile.string());
  const auto sourceFile = directory / "odbc.ini";
  if (!std::ofstream(sourceFile)) throw std::runtime_error("cannot write " + sourceFile.string());
  SetEnvironment("ODBCSYSINI", directory.string());
  SetEnvironment("ODBCINI", sourceFile.string());
}

namespace {

const std::filesystem::path& PostgresDriverLibrary() {
  static const auto library = FindOdbcDriverLibrary("psqlodbcw.so");
  return library;
}

}  // namespace

bool UsePrivateOdbcConfiguration() {
  static const bool ready = [] {
    const auto sqlite = FindOdbcDriverLibrary("libsqlite3odbc.so");
    if (sqlite.empty()) return false;
    std::vector<OdbcDriver> drivers{{"SQLite3", sqlite}};
    if (!PostgresDriverLibrary().empty()) drivers.push_back({"PostgreSQL Unicode", PostgresDriverLibrary()});
    // Lives until the process ends, like the driver manager's use of it.
    static TempDir odbcDir("rdr00800-odbc");
    UsePrivateOdbcDrivers(odbcDir.Path(), drivers);
    return true;
  }();
  return ready;
}

bool HavePostgresDriver() { return UsePrivateOdbcConfiguration() && !PostgresDriverLibrary().empty(); }

std::string SqliteConnectionString(const TempDir& dir) {
  return "Driver=SQLite3;Database=" + (dir.Path() / "host.db").string();
}

}  // namespace rdrtest
