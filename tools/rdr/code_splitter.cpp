#include "code_splitter.h"

#include <utility>

namespace rdr {
namespace {

bool IsAsciiLetterOrDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

void Finish(std::string& line, std::string& leftOut, CodeSplitter::Result& result) {
  if (!leftOut.empty()) result.leftOut.push_back({std::move(leftOut), line});
  leftOut.clear();
  if (line.empty()) return;
  (IsAsciiLetterOrDigit(line.front()) ? result.codes : result.dropped).push_back(std::move(line));
  line.clear();
}

}  // namespace

bool IsControlByte(char byte) {
  const auto value = static_cast<unsigned char>(byte);
  // Above 0x7F only the five bytes Windows-1252 leaves undefined.
  return value < 0x20 || value == 0x7F || value == 0x81 || value == 0x8D || value == 0x8F || value == 0x90 ||
         value == 0x9D;
}

CodeSplitter::Result CodeSplitter::Split(std::string_view frame, bool full) {
  Result result;
  std::string line = std::exchange(held_, {});
  std::string leftOut = std::exchange(heldLeftOut_, {});
  for (const char c : frame) {
    if (c == '\r' || c == '\n') {
      Finish(line, leftOut, result);  // CR LF ends one line: the LF finds it empty
    } else if (IsControlByte(c)) {
      leftOut += c;
    } else {
      line += c;
    }
  }
  if (full) {
    held_ = std::move(line);
    heldLeftOut_ = std::move(leftOut);
  } else {
    Finish(line, leftOut, result);
  }
  return result;
}

}  // namespace rdr
