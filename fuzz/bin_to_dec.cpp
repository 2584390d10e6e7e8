// BinToDec: the empty text, a plain decimal integer, or its "%.15g" form from
// 10^15 on; a short text of binary digits gives exactly its integer value.
#include <cstdint>

#include "fuzz_input.h"
#include "rdr00800/Rdr00800.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(rdrfuzz::AsText(data, size));
  const std::string decimal = Rdr00800::BinToDec(text);
  rdrfuzz::Require(decimal.size() <= 22, "a short number");
  rdrfuzz::Require(rdrfuzz::AllOf(decimal, "0123456789.e+"), "decimal characters only");
  if (!rdrfuzz::AllOf(text, "01|")) return 0;
  // Below 2^49 every sum is exact and under 10^15: the plain integer.
  uint64_t value = 0;
  int digits = 0;
  for (const char c : text) {
    if (c == '|') continue;
    value = value * 2 + static_cast<uint64_t>(c - '0');
    ++digits;
  }
  if (digits == 0 || digits > 49) return 0;
  rdrfuzz::Require(decimal == std::to_string(value), "the exact integer value");
  return 0;
}
