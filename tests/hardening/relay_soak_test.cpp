// A scanner thread relaying a long shift of codes into a host window: every
// code arrives once, whole and in order, and the process does not grow.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "process_usage.h"
#include "rdr00800/Rdr00800.h"
#include "scanner/optical_poll_source.h"

namespace {

constexpr uint32_t kWindow = 0x50AC;
constexpr int kCodes = 20'000;
constexpr int kWarmUpCodes = 2'000;

std::string CodeNumber(int number) {
  char code[16];
  std::snprintf(code, sizeof code, "C%06d", number);
  return code;
}

// The reader: the next numbered code at every poll, then nothing.
std::atomic<int> gNextCode{0};
Rdr00800::detail::OpticalPoll NumberedCodes() {
  const int number = gNextCode.fetch_add(1);
  if (number < kCodes) return {CodeNumber(number), Rdr00800::ReadStatus::Ok};
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return {"", Rdr00800::ReadStatus::Ok};
}

TEST(RelaySoak, TwentyThousandCodesArriveOnceInOrderWithMemoryFlat) {
  std::string line;
  int delivered = 0;
  int wrong = 0;
  Rdr00800::RegisterWindow(kWindow, [&](uint32_t msg, uintptr_t key, intptr_t) -> intptr_t {
    if (msg == Rdr00800::kWmChar) line += static_cast<char>(key);
    if (msg == Rdr00800::kWmKeyDown) {
      if (line != CodeNumber(delivered)) ++wrong;
      ++delivered;
      line.clear();
    }
    return 0;
  });
  gNextCode = 0;
  Rdr00800::detail::SetOpticalPollSource(&NumberedCodes);
  long residentAfterWarmUp = -1;
  {
    Rdr00800::TScannerThread scanner(Rdr00800::tpNormal, kWindow);
    scanner.Start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (delivered < kCodes && std::chrono::steady_clock::now() < deadline) {
      Rdr00800::CheckSynchronize(100);
      if (residentAfterWarmUp < 0 && delivered >= kWarmUpCodes)
        residentAfterWarmUp = rdrtest::ProcessStatusField("VmRSS");
    }
    scanner.Terminate();
    scanner.WaitFor();
    EXPECT_FALSE(scanner.FatalException());
  }
  Rdr00800::detail::SetOpticalPollSource(nullptr);
  Rdr00800::UnregisterWindow(kWindow);

  EXPECT_EQ(delivered, kCodes);  // none lost, none twice
  EXPECT_EQ(wrong, 0);           // each whole and in its place
  EXPECT_EQ(line, "");
  if (rdrtest::kResidentMemoryIsMeaningful) {
    EXPECT_LT(rdrtest::ProcessStatusField("VmRSS") - residentAfterWarmUp, 1024);
  }
}

}  // namespace
