#include "decode/digit_conversions.h"

#include <cfenv>
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
constexpr uint64_t kPlainIntegerLimit = 1'000'000'000'000'000;
// Below this every partial sum is exact as a double too, so integers give the
// double's answer to the bit.
constexpr uint64_t kExactIntegerLimit = uint64_t{1} << 53;
// 2^1023 is the largest power of two a double holds; a nonzero digit weighted
// more makes the sum infinite.
constexpr int kLargestFiniteExponent = 1023;

// Masks every floating-point trap for its lifetime and then restores the
// caller's environment, its traps and its raised flags alike: Pascal and
// Delphi hosts run with the overflow, invalid-operation and zero-divide traps
// on, where a sum past the range of a double would kill the process.
class FloatingPointTrapsMasked {
 public:
  FloatingPointTrapsMasked() noexcept { std::feholdexcept(&saved_); }
  ~FloatingPointTrapsMasked() { std::fesetenv(&saved_); }
  FloatingPointTrapsMasked(const FloatingPointTrapsMasked&) = delete;
  FloatingPointTrapsMasked& operator=(const FloatingPointTrapsMasked&) = delete;

 private:
  std::fenv_t saved_;
};

// The "%.15g" form of `sum`, without the locale's decimal separator.
std::string GeneralForm(double sum) {
  char decimal[32];
  const auto result = std::to_chars(decimal, decimal + sizeof decimal, sum, std::chars_format::general, 15);
  return std::string(decimal, result.ptr);
}

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
  static constexpr char kBits[] = "0000000100100011010001010110011110001001101010111100110111101111";
  return kBits + 4 * (value & 0xF);
}

std::string BinaryDigitsToDecimal(std::string_view digits) {
  // The sum of digit times 2^position, from the last character to the first,
  // as doubles add it. While it stays below 2^53 every step is exact, so it is
  // kept as an integer; past that, rounding depends on the order of the
  // additions, and the rest is added as doubles with traps masked.
  uint64_t exactSum = 0;
  int exponent = 0;
  bool anyDigit = false;
  const char* const text = digits.data();
  std::size_t next = digits.size();  // the characters before `next` are still to add
  for (; next > 0; --next) {
    const char c = text[next - 1];
    if (c == '|') continue;
    if (c < '0' || c > '9') return {};
    anyDigit = true;
    // A zero digit adds nothing whatever its weight.
    const auto digit = static_cast<uint64_t>(c - '0');
    if (digit != 0) {
      if (exponent >= 53 || digit << exponent >= kExactIntegerLimit - exactSum) break;
      exactSum += digit << exponent;
    }
    ++exponent;
  }
  if (next == 0) {
    if (!anyDigit) return {};
    if (exactSum < kPlainIntegerLimit) return std::to_string(exactSum);
    return GeneralForm(static_cast<double>(exactSum));
  }

  FloatingPointTrapsMasked masked;
  double sum = static_cast<double>(exactSum);
  for (; next > 0; --next) {
    const char c = text[next - 1];
    if (c == '|') continue;
    if (c < '0' || c > '9') return {};
    if (c != '0') {
      // Past the range of a double the sum means nothing: no number at all.
      if (exponent > kLargestFiniteExponent) return {};
      sum += (c - '0') * std::ldexp(1.0, exponent);
    }
    ++exponent;
  }
  if (!std::isfinite(sum)) return {};
  return GeneralForm(sum);
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
