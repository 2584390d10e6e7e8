// The gateway's message formatting: the directory lands once and verbatim,
// whatever placeholders or bytes either text holds.
#include "decrypt/gateway.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto [text, directory] = rdrfuzz::SplitInTwo(rdrfuzz::AsText(data, size));
  const std::string formatted = Rdr00800::detail::FormatWithDirectory(text, directory);
  const size_t at = text.find("%s");
  if (at == std::string::npos) {
    rdrfuzz::Require(formatted == text, "a text without a placeholder stays as it is");
    return 0;
  }
  rdrfuzz::Require(formatted.size() == text.size() - 2 + directory.size(), "one placeholder replaced");
  rdrfuzz::Require(formatted.compare(at, directory.size(), directory) == 0, "the directory verbatim in its place");
  rdrfuzz::Require(formatted.compare(0, at, text, 0, at) == 0, "the text before it unchanged");
  return 0;
}
