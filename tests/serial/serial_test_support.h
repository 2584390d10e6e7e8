// Shared pieces of the serial tests: a fixture that puts the reader settings
// back, and timing.
#pragma once

#include <gtest/gtest.h>

#include <chrono>

#include "support/test_kit.h"

namespace rdrtest {

// Restores every setting, port mapping, table entry and injected failure the
// test changed. Derived fixtures map kPort to their reader.
class SerialTest : public ::testing::Test {
 protected:
  static constexpr const char* kPort = "COM7";
  ~SerialTest() override;
};

// Runs `body` and returns how long it took, truncated to milliseconds.
template <class Body>
std::chrono::milliseconds Elapsed(Body&& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

}  // namespace rdrtest
