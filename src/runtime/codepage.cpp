#include "runtime/codepage.h"

#include <cstdint>

namespace Rdr00800 {
namespace {

// Code points of 0x80..0x9F; the undefined bytes keep their own value.
constexpr char32_t kHighControlBlock[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98
};

}  // namespace

namespace detail {

void AppendUtf8(std::string& out, char32_t codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
    return;
  }
  // Lead byte, then six bits per continuation byte.
  const int continuationBytes = codePoint < 0x800 ? 1 : codePoint < 0x10000 ? 2 : 3;
  static constexpr unsigned char kLeadMarks[] = {0, 0xC0, 0xE0, 0xF0};
  out += static_cast<char>(kLeadMarks[continuationBytes] | (codePoint >> (6 * continuationBytes)));
  for (int shift = 6 * (continuationBytes - 1); shift >= 0; shift -= 6) {
    out += static_cast<char>(0x80 | ((codePoint >> shift) & 0x3F));
  }
}

}  // namespace detail

std::string Cp1252ToUtf8(const std::string& text) {
  std::string utf8;
  utf8.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<uint8_t>(c);
    detail::AppendUtf8(utf8, byte >= 0x80 && byte < 0xA0 ? kHighControlBlock[byte - 0x80] : char32_t{byte});
  }
  return utf8;
}

}  // namespace Rdr00800
