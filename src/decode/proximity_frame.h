// Decoding of a proximity reader's frame, apart from the read, so that it
// stays free of I/O and global state: the caller hands in the framework
// whose EmptyString and Ajusta decide emptiness and field widths.
#pragma once

#include <string>

#include "rdr00800/Rdr00800.h"

namespace Rdr00800::detail {

// DecodeProximityFrame with an explicit framework. Any thread, as long as
// `framework` may be called there; no I/O; throws only what the framework throws.
std::string DecodeProximityFrame(const std::string& readerType, const std::string& frame, HostFramework& framework);

}  // namespace Rdr00800::detail
