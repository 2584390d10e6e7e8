// What the system can tell a person about a device a read could not use, one
// backend per platform (device_diagnosis_linux.cpp, device_diagnosis_win32.cpp).
//
// Called by ReadOutcomeMessage when a host asks for the message of a failed
// read, on the host's thread. Each call looks at the system afresh and
// returns a text; none throws except std::bad_alloc, and what cannot be
// found out gives the general wording.
#pragma once

#include <string>

namespace Rdr00800::detail {

// The system's text for an error code (errno; GetLastError on Windows).
std::string SystemErrorText(int error);
// What to do about a port text that names no device on this platform.
std::string NoDeviceHint();
// "; the device belongs to group dialout: add the user to it", or "" when
// the system names no group that would help.
std::string PermissionHint(const std::string& path);
// Why `path` is busy: "held by process 4242 (pos-host)" when the system's
// records of locks and open files show it, "held by another program" when it
// cannot tell, and where it can tell that nobody holds it, that an exclusive
// flag a program left behind refuses the open, and what clears it.
std::string BusyReason(const std::string& path);

}  // namespace Rdr00800::detail
