// Runs the scanner's C-interface checks, which are compiled as C.
#include <gtest/gtest.h>

#include "support/simulated_reader.h"

extern "C" const char* RunScannerCAbiChecks(const char* devicePath);

TEST(ScannerCInterface, RelaysThroughTheCEntries) {
  const auto reader = rdrtest::NewSimulatedReader();
  reader->Send("C1\r");
  const char* failure = RunScannerCAbiChecks(reader->DevicePath().c_str());
  EXPECT_EQ(failure, nullptr) << failure;
}

extern "C" const char* RunSessionCAbiChecks(const char* devicePath);

TEST(SessionCInterface, HandsOutCodesThroughTheCEntries) {
  const auto reader = rdrtest::NewSimulatedReader();
  reader->Send("S1\r\nS1\r\nS2\r");
  const char* failure = RunSessionCAbiChecks(reader->DevicePath().c_str());
  EXPECT_EQ(failure, nullptr) << failure;
}
