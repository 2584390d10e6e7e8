// HexaToBin: any text is either the empty text or exactly four binary digits.
#include "fuzz_input.h"
#include "rdr00800/Rdr00800.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bits = Rdr00800::HexaToBin(std::string(rdrfuzz::AsText(data, size)));
  rdrfuzz::Require(bits.empty() || (bits.size() == 4 && rdrfuzz::AllOf(bits, "01")), "four binary digits or nothing");
  return 0;
}
