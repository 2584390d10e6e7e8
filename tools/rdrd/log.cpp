#include "log.h"

#include <cstdio>
#include <string>

namespace rdrd {

void Log(std::string_view line) {
  std::string text = "rdrd: ";
  text += line;
  text += '\n';
  // One write per line, so lines from the loop and from the start never interleave.
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace rdrd
