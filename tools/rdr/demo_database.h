// The demo's database: an SQLite file reached through the ODBC driver
// "SQLite3". Main thread.
#pragma once

#include <string>

namespace rdr {

// Makes the ODBC driver "SQLite3" reachable: when the driver manager does not
// know it, writes an odbcinst.ini naming the driver library into
// `privateDirectory` and points ODBCSYSINI there. Returns how the driver was
// found, for the demo to print. Throws std::runtime_error when no driver
// library is installed.
std::string EnsureSqliteDriver(const std::string& privateDirectory);

}  // namespace rdr
