#include "decode/proximity_frame.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "decode/digit_conversions.h"

namespace Rdr00800::detail {
namespace {

// Bit layout of a hexadecimal frame (1-based positions): 1..9 unused,
// 10..17 facility code, 18..33 card number, the rest unused.
constexpr std::size_t kFacilityStart = 10;
constexpr std::size_t kFacilityBits = 8;
constexpr std::size_t kCardStart = 18;
constexpr std::size_t kCardBits = 16;
constexpr std::size_t kBitsNeeded = kCardStart + kCardBits - 1;

constexpr int32_t kFacilityWidth = 3;
constexpr int32_t kCardWidth = 5;

// Plain-text readers end their frame with CR LF 0x12 or CR LF; nothing else
// is taken away, so a lone CR or LF stays.
std::string WithoutLineEnd(const std::string& frame) {
  std::string_view text(frame);
  if (text.ends_with("\r\n\x12")) {
    text.remove_suffix(3);
  } else if (text.ends_with("\r\n")) {
    text.remove_suffix(2);
  }
  return std::string(text);
}

}  // namespace

std::string DecodeProximityFrame(const std::string& readerType, const std::string& frame, HostFramework& framework) {
  if (framework.EmptyString(frame)) return {};
  if (readerType == "3") return WithoutLineEnd(frame);

  // Bits past the card field are never used, so collection stops there.
  std::array<char, kBitsNeeded + 3> bits;
  std::size_t bitCount = 0;
  const char* const text = frame.data();
  for (std::size_t i = 0; i < frame.size() && bitCount < kBitsNeeded; ++i) {
    const char c = text[i];
    if (c == '\r') break;
    const int value = HexDigitValue(c);
    if (value < 0) continue;  // not a digit: adds no bits, the rest moves up
    std::memcpy(bits.data() + bitCount, FourBitsOf(value), 4);
    bitCount += 4;
  }
  // A frame cut short would leave the card field partial and yield a
  // plausible but wrong code: treat it as nothing read.
  if (bitCount < kBitsNeeded) return {};

  const std::string_view bitText(bits.data(), bitCount);
  std::string code =
      readerType == "1"
          ? std::string(kFacilityWidth, '0')
          : framework.Ajusta(BinaryDigitsToDecimal(bitText.substr(kFacilityStart - 1, kFacilityBits)), kFacilityWidth);
  code += framework.Ajusta(BinaryDigitsToDecimal(bitText.substr(kCardStart - 1, kCardBits)), kCardWidth);
  return code;
}

}  // namespace Rdr00800::detail
