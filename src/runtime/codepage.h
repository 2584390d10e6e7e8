// Text conversions towards UTF-8, for texts that leave the library for a
// UTF-8 consumer (the standard-error message line, message handlers, the
// wide ODBC calls). The public Cp1252ToUtf8 is declared with the rest of the
// surface; its five undefined byte values (0x81, 0x8D, 0x8F, 0x90, 0x9D)
// become the C1 control characters of the same value, as the platform's own
// conversion does, so no byte is lost.
#pragma once

#include <string>

#include "rdr00800/Rdr00800.h"

namespace Rdr00800::detail {

// Appends the UTF-8 form of one Unicode code point (up to U+10FFFF) to `out`.
// Pure; any thread.
void AppendUtf8(std::string& out, char32_t codePoint);

}  // namespace Rdr00800::detail
