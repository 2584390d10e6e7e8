// The conversions in a host that runs with the overflow, invalid-operation
// and zero-divide traps on, as Pascal and Delphi hosts do: same answers as
// with the traps off, no floating-point exception, and the host's traps and
// flags as they were.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cfenv>
#include <charconv>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "rdr00800/rdr00800.h"

namespace {

constexpr int kHostTraps = FE_OVERFLOW | FE_INVALID | FE_DIVBYZERO;

// The conversion as plain double arithmetic would make it, traps off: the
// answer the library must keep.
std::string DoubleSum(const std::string& text) {
  double sum = 0.0, weight = 1.0;
  bool anyDigit = false;
  for (size_t i = text.size(); i-- > 0;) {
    if (text[i] == '|') continue;
    if (text[i] < '0' || text[i] > '9') return {};
    if (text[i] != '0') sum += (text[i] - '0') * weight;
    weight *= 2.0;
    anyDigit = true;
  }
  if (!anyDigit || !std::isfinite(sum)) return {};
  char decimal[32];
  const auto end = sum < 1e15 ? std::to_chars(decimal, decimal + 32, static_cast<uint64_t>(sum)).ptr
                              : std::to_chars(decimal, decimal + 32, sum, std::chars_format::general, 15).ptr;
  return std::string(decimal, end);
}

std::string BinToDec(const std::string& text) {
  char* answer = Rdr00800_BinToDec(text.c_str());
  std::string copy = answer;
  Rdr00800_FreeText(answer);
  return copy;
}

std::vector<std::string> Texts() {
  std::vector<std::string> texts = {
      std::string(1100, '0'),
      "1" + std::string(1100, '0'),
      "1" + std::string(1023, '0'),
      "9" + std::string(1023, '0'),
      "1" + std::string(1024, '0'),
      std::string(1100, '1'),
      std::string(53, '1'),
      "1" + std::string(53, '0'),
      "9" + std::string(52, '0') + "|1",
      std::string(60, '9'),
      "1|0|1",
      "|",
      "",
      "12x1",
      "11100011010111111010100100110001101000000000000",
  };
  std::mt19937 random(13);
  for (int n = 0; n < 300; ++n) {
    std::string text(random() % 1200, '0');
    for (char& c : text) c = "0123456789|0101"[random() % 15];
    texts.push_back(text);
  }
  return texts;
}

TEST(FloatingPointTraps, BinToDecAnswersAsPlainDoublesWithTheHostsTrapsOn) {
  const std::vector<std::string> texts = Texts();
  for (const auto& text : texts) EXPECT_EQ(BinToDec(text), DoubleSum(text)) << text.size() << " characters";
  ASSERT_EQ(BinToDec(std::string(1100, '0')), "0");

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::feclearexcept(FE_ALL_EXCEPT);
    ::feenableexcept(kHostTraps);
    int wrong = 0;
    for (const auto& text : texts) {
      std::fenv_t off;
      std::feholdexcept(&off);  // the reference runs with the traps off
      const std::string expected = DoubleSum(text);
      std::fesetenv(&off);
      wrong += BinToDec(text) != expected;
    }
    char* frame = Rdr00800_DecodeProximityFrame("2", "003DD93700\r\n");
    wrong += std::string(frame) != "12345678";
    Rdr00800_FreeText(frame);
    // The host's traps stay on, and no flag it did not raise is left raised.
    wrong += ::fegetexcept() != kHostTraps;
    wrong += std::fetestexcept(kHostTraps) != 0;
    ::_exit(wrong == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a different answer with the traps on";
}

}  // namespace
