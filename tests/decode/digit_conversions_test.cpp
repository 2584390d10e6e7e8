#include "decode/digit_conversions.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "rdr00800/Rdr00800.h"

namespace {

using Rdr00800::BinToDec;
using Rdr00800::HexaToBin;
using Rdr00800::ZeroPadLeft;
using Cases = std::vector<std::pair<std::string, std::string>>;

TEST(HexaToBin, ConvertsDigitsAndCapitalLettersAndRefusesTheRest) {
  const Cases cases = {{"0", "0000"}, {"7", "0111"}, {"9", "1001"}, {"A", "1010"},  {"F", "1111"},  {"AB", "1010"},
                       {"a", ""},     {"G", ""},     {"", ""},      {"12", "1100"}, {"16", "1000"}, {"-3", "0000"}};
  for (const auto& [input, expected] : cases) EXPECT_EQ(HexaToBin(input), expected) << "input " << input;
}

TEST(HexaToBin, AcceptsOnlyASignAndDecimalDigitsWithin32Bits) {
  const Cases cases = {{"+5", "0101"},
                       {"2147483647", "1111"},
                       {"-2147483648", "0000"},
                       {"2147483648", ""},
                       {"-2147483649", ""},
                       {"+", ""},
                       {"-", ""},
                       {"+-5", ""},
                       {" 5", ""},
                       {"5 ", ""},
                       {"0x5", ""},
                       {"1e3", ""},
                       {"Fxyz", "1111"},
                       {"+A", ""}};
  for (const auto& [input, expected] : cases) EXPECT_EQ(HexaToBin(input), expected) << "input " << input;
}

// The decoder relies on these helpers giving exactly what HexaToBin gives a
// lone character, for every byte a reader may send.
TEST(HexaToBin, LoneCharacterAgreesWithTheDecoderHelpers) {
  for (int byte = 0; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    const int value = Rdr00800::detail::HexDigitValue(c);
    const std::string expected = value < 0 ? "" : std::string(Rdr00800::detail::FourBitsOf(value), 4);
    EXPECT_EQ(HexaToBin(std::string(1, c)), expected) << "byte " << byte;
  }
}

TEST(BinToDec, WeighsDigitsFromTheRight) {
  const Cases cases = {{"01111011", "123"},
                       {"1011001001101110", "45678"},
                       {"0000", "0"},
                       {"1|1", "3"},
                       {"12", "4"},
                       {"1x1", ""},
                       {"", ""},
                       {"|", ""},
                       {"||", ""},
                       {"|0|", "0"},
                       {"-1", ""},
                       {" 1", ""},
                       {"1111111111111111", "65535"}};
  for (const auto& [input, expected] : cases) EXPECT_EQ(BinToDec(input), expected) << "input " << input;
}

TEST(BinToDec, LargeSumsTakeTheShortFloatingForm) {
  // 2^49 - 1 is still below 10^15 and exact.
  EXPECT_EQ(BinToDec(std::string(49, '1')), "562949953421311");
  // 2^50 is past 10^15.
  EXPECT_EQ(BinToDec("1" + std::string(50, '0')), "1.12589990684262e+15");
  EXPECT_EQ(BinToDec("1" + std::string(1023, '0')), "8.98846567431158e+307");
}

TEST(BinToDec, SumsBeyondTheDoubleRangeAreNoNumber) {
  EXPECT_EQ(BinToDec("1" + std::string(1024, '0')), "");
  EXPECT_EQ(BinToDec(std::string(2000, '1')), "");
  // Zeros far to the left add nothing rather than spoiling the sum.
  EXPECT_EQ(BinToDec(std::string(2000, '0') + "101"), "5");
}

TEST(ZeroPadLeft, PadsOnTheLeftAndCutsOnTheRight) {
  EXPECT_EQ(ZeroPadLeft("1", 4), "0001");
  EXPECT_EQ(ZeroPadLeft("", 4), "0000");
  EXPECT_EQ(ZeroPadLeft("1010", 4), "1010");
  EXPECT_EQ(ZeroPadLeft("10000", 4), "1000");
  EXPECT_EQ(ZeroPadLeft("123", 0), "");
  EXPECT_EQ(ZeroPadLeft("123", -2), "");
}

}  // namespace
