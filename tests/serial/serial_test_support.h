// Shared pieces of the serial tests: a fixture that puts the reader settings
// back, and probes of a pty's state taken from the test's side.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/pty_reader.h"

namespace rdrtest {

// Maps kPort to a fresh simulated reader and restores every setting, table
// entry and injected failure the test changed.
class SerialTest : public ::testing::Test {
 protected:
  static constexpr const char* kPort = "COM7";
  SerialTest();
  ~SerialTest() override;

  PtyReader reader_;
};

// TIOCEXCL as the tty has it now (read through a descriptor of our own).
bool ExclusiveFlag(const std::string& path);

// Runs `body` and returns how long it took.
template <class Body>
std::chrono::milliseconds Elapsed(Body&& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

}  // namespace rdrtest
