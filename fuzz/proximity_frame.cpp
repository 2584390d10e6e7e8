// The proximity decoder for every reader type: a plain-text frame loses at
// most its line end, a hexadecimal one gives nothing or an 8-character code.
#include "decode/proximity_frame.h"

#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Rdr00800::HostFramework framework;
  auto [readerType, frame] = rdrfuzz::SplitInTwo(rdrfuzz::AsText(data, size));
  const std::string code = Rdr00800::detail::DecodeProximityFrame(readerType, frame, framework);
  if (readerType == "3" && !code.empty()) {
    rdrfuzz::Require(frame.compare(0, code.size(), code) == 0, "a plain-text code is the frame's start");
    rdrfuzz::Require(frame.size() - code.size() <= 3, "only the line end goes");
  } else if (readerType != "3") {
    rdrfuzz::Require(code.empty() || code.size() == 8, "facility and card fitted to 3 + 5");
    if (readerType == "1" && !code.empty()) rdrfuzz::Require(code.compare(0, 3, "000") == 0, "fixed facility");
  }
  return 0;
}
