// Resources the package carries.
#pragma once

#include <string>

namespace Rdr00800::detail {

// The "SHOWAVI" clip: a short uncompressed AVI of a badge passing a reader.
// Produced once, on first use; any thread.
const std::string& ShowAviClip();

}  // namespace Rdr00800::detail
