#include "decode/digit_conversions.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <system_error>

#include "rdr00800/Rdr00800.h"

namespace Rdr00800 {
namespace detail {
namespace {

// Below this every sum is an exact integer of a double and prints as one.
constexpr double kPlainIntegerLimit = 1e15;

}  // namespace

bool ParseInt32(std::string_view text, int32_t& value) noexcept {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty() || text.front() == '-') return false;
  }
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && stop == end;
}

int HexDigitValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const char* FourBitsOf(int value) noexcept {
  static constexpr char kBits[] =
      "0000000100100011010001010110011110001001101010111100110111101111";
  return kBits + 4 * (value & 0xF);
}

std::string BinaryDigitsToDecimal(std::string_view digits) {
  double sum = 0.0;
  double weight = 1.0;
  bool anyDigit = false;
  for (std::size_t i = digits.size(); i-- > 0;) {
    const char c = digits[i];
    if (c == '|') continue;
    if (c < '0' || c > '9') return {};
    // 0 times an infinite weight would turn the sum into NaN; a zero digit
    // adds nothing whatever its weight.
    if (c != '0') sum += (c - '0') * weight;
    weight *= 2.0;
    anyDigit = true;
  }
  // Past the range of a double the sum means nothing: no number at all.
  if (!anyDigit || !std::isfinite(sum)) return {};

  char decimal[32];
  const auto result = sum < kPlainIntegerLimit
                          ? std::to_chars(decimal, decimal + sizeof decimal, static_cast<uint64_t>(sum))
                          // The "%.15g" form, without the locale's decimal separator.
                          : std::to_chars(decimal, decimal + sizeof decimal, sum, std::chars_format::general, 15);
  return std::string(decimal, result.ptr);
}

}  // namespace detail

std::string ZeroPadLeft(const std::string& text, int32_t width) {
  if (width <= 0) return {};
  const auto size = static_cast<size_t>(width);
  if (text.size() >= size) return text.substr(0, size);
  return std::string(size - text.size(), '0') + text;
}

std::string HexaToBin(const std::string& text) {
  if (text.empty()) return {};
  int32_t value = 0;
  if (text.front() >= 'A' && text.front() <= 'F') {
    value = detail::HexDigitValue(text.front());
  } else if (!detail::ParseInt32(text, value)) {
    return {};
  }
  std::string digits;
  for (; value >= 1; value /= 2) digits.insert(digits.begin(), static_cast<char>('0' + value % 2));
  return ZeroPadLeft(digits, 4);
}

std::string BinToDec(const std::string& text) { return detail::BinaryDigitsToDecimal(text); }

}  // namespace Rdr00800
