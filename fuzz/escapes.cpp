// The rdr tool's escapes: parsing either succeeds or names a position, and
// every byte string survives being shown and read back.
#include "escapes.h"

#include <stdexcept>

#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = rdrfuzz::AsText(data, size);
  try {
    rdrfuzz::Require(rdr::ParseEscapes(input).size() <= input.size(), "escapes never grow the text");
  } catch (const std::invalid_argument&) {
  }
  const std::string shown = rdr::ShowEscapes(input);
  rdrfuzz::Require(rdrfuzz::AllOf(shown,
                                  " !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`"
                                  "abcdefghijklmnopqrstuvwxyz{|}~"),
                   "shown as printable ASCII");
  rdrfuzz::Require(rdr::ParseEscapes(shown) == input, "read back unchanged");
  return 0;
}
