// Building blocks of the digit conversions that the frame decoder shares, so
// that it can work on views of a fixed buffer instead of allocating a text per
// character and per field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Rdr00800::detail {

// The runtime's text-to-integer conversion: an optional sign and decimal
// digits only; anything else, or a value outside 32 bits, is no number.
bool ParseInt32(std::string_view text, int32_t& value) noexcept;

// The value HexaToBin gives a lone character: 0..9 for "0".."9", 10..15 for
// "A".."F", -1 for anything else (small letters included).
int HexDigitValue(char c) noexcept;

// The four binary digits of `value` (0..15), most significant first; not
// NUL-terminated.
const char* FourBitsOf(int value) noexcept;

// BinToDec over a view; the empty text on failure.
std::string BinaryDigitsToDecimal(std::string_view digits);

}  // namespace Rdr00800::detail
