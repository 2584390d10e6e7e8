// The demo's database: an SQLite file reached through the ODBC driver
// "SQLite3". Main thread.
#pragma once

#include <string>

namespace rdr {

// Makes the ODBC driver "SQLite3" reachable: when the driver manager does not
// know it, points the driver manager at a private configuration in
// `privateDirectory` naming that driver alone (the test kit's). Returns how the driver was
// found, for the demo to print. Throws std::runtime_error when no driver
// library is installed.
std::string EnsureSqliteDriver(const std::string& privateDirectory);

}  // namespace rdr
