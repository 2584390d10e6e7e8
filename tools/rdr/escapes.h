// Frames written as text: control bytes and bytes above 127 spelt out as
// escapes, so a frame can be typed on a command line and shown on a terminal.
// Pure functions, no I/O.
#pragma once

#include <string>
#include <string_view>

namespace rdr {

// The bytes `text` stands for: \r \n \t \0 \\ and \xNN (exactly two
// hexadecimal digits, either case) are escapes; every other byte stands for
// itself. Throws std::invalid_argument naming the position of a backslash
// that starts no escape.
std::string ParseEscapes(std::string_view text);

// `bytes` in the form ParseEscapes reads back: printable ASCII as itself,
// a backslash doubled, CR LF TAB NUL as \r \n \t \0 and every other byte as
// \xNN (capital digits).
std::string ShowEscapes(std::string_view bytes);

}  // namespace rdr
