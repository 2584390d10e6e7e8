// The frame cut of the serial read: at most 51 bytes of what arrived, no NUL,
// always a start of the delivered bytes.
#include "fuzz_input.h"
#include "serial/serial_read.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool dropLastCharacter = data[0] & 1;
  const std::string_view delivered = rdrfuzz::AsText(data + 1, size - 1);
  const std::string frame = Rdr00800::detail::CutFrame(delivered, dropLastCharacter);
  rdrfuzz::Require(frame.size() <= 51, "at most 51 bytes");
  rdrfuzz::Require(frame.find('\0') == std::string::npos, "no NUL inside");
  rdrfuzz::Require(delivered.substr(0, frame.size()) == frame, "a start of the delivered bytes");
  return 0;
}
