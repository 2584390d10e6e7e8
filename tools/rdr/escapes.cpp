#include "escapes.h"

#include <stdexcept>

namespace rdr {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string ParseEscapes(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      bytes += text[i];
      continue;
    }
    const size_t at = i;
    const auto bad = [&] {
      return std::invalid_argument("unknown escape at position " + std::to_string(at + 1) +
                                   " (use \\r \\n \\t \\0 \\\\ or \\xNN)");
    };
    if (++i == text.size()) throw bad();
    switch (text[i]) {
      case 'r':
        bytes += '\r';
        break;
      case 'n':
        bytes += '\n';
        break;
      case 't':
        bytes += '\t';
        break;
      case '0':
        bytes += '\0';
        break;
      case '\\':
        bytes += '\\';
        break;
      case 'x': {
        const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0) throw bad();
        bytes += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default:
        throw bad();
    }
  }
  return bytes;
}

std::string ShowEscapes(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string shown;
  shown.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '\r':
        shown += "\\r";
        break;
      case '\n':
        shown += "\\n";
        break;
      case '\t':
        shown += "\\t";
        break;
      case '\0':
        shown += "\\0";
        break;
      case '\\':
        shown += "\\\\";
        break;
      default:
        if (byte >= 0x20 && byte < 0x7F) {
          shown += c;
        } else {
          shown += "\\x";
          shown += kDigits[byte >> 4];
          shown += kDigits[byte & 0xF];
        }
    }
  }
  return shown;
}

}  // namespace rdr
