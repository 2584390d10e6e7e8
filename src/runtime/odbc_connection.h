// Internal helpers of TADOConnection, exposed for the data module and tests.
// Pure functions, a counter and the remembered session: no ODBC headers here.
// Main thread.
#pragma once

#include <string>

#include "rdr00800/Rdr00800.h"

namespace Rdr00800::detail {

// The connection string handed to the driver manager. A string naming none of
// DRIVER=, DSN= or FILEDSN= gets its driver from its own "Provider=" key (that
// element becomes DRIVER={name}), else from `provider` (DRIVER={provider};
// in front); any other string, or no provider at all, is passed unchanged.
// Keys compare ignoring ASCII letter case; {braced} values may hold ";".
std::wstring WithDriverFromProvider(const std::wstring& connectionString, const std::string& provider);

// Windows-1252 text in the wide form connection strings are kept in.
std::wstring WidenCp1252(const std::string& text);

// ODBC handles (environment and connection) this process holds through
// TADOConnection; lets tests prove that failed opens leave none behind.
int LiveOdbcHandleCount() noexcept;

// The session the built-in default framework remembers (HostFramework's own
// SetADODBSession); nullptr when none. TADOConnection's destructor forgets
// its own, so the remembered one never dangles. Main thread; never throw.
void RememberADODBSession(TADOConnection* connection) noexcept;
TADOConnection* RememberedADODBSession() noexcept;

}  // namespace Rdr00800::detail
