// rdr's exit codes, apart from the command parser so that files that cannot
// include it (Xlib's macros clash with CLI11) can end with them too.
#pragma once

namespace rdr {

// Distinct so scripts can tell the failures apart.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,
  kExitBadArguments = 2,
  kExitDeviceUnavailable = 3,
  kExitNothingRead = 4,
  kExitNotDecrypted = 5,
  kExitWindowUnavailable = 6,
  kExitDatabaseUnavailable = 7,
};

}  // namespace rdr
