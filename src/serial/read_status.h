// The outcome of the one-shot reads, kept per thread for LastReadStatus and
// LastReadMessage. The read records its cause once, where it knows it; the
// message for a person is composed only when asked for, so a scanner polling
// a missing port every 100 ms pays for none.
#pragma once

#include <cstdint>
#include <string>

#include "device/device.h"

namespace Rdr00800::detail {

// What one read ended with: the status with its system error, the port text
// it was given, the speed it asked for, and, when the read failed before
// reaching the device on its own account (a speed text that is no number),
// a note saying so.
struct ReadOutcome {
  DeviceFailure cause;
  std::string port;
  int32_t baud = 0;
  std::string note;
};

// A device step's result as a trace shows it: "ok", or the status's name
// with the system's text for the error ("busy (Resource temporarily
// unavailable)").
std::string DescribeFailure(const DeviceFailure& failure);

// Records the calling thread's latest read. Does not block.
void RecordReadOutcome(ReadOutcome outcome) noexcept;

// The line LastReadMessage gives for `outcome`. Looks at the system (who
// holds the device, which group owns it) only for the failures that need it.
std::string ReadOutcomeMessage(const ReadOutcome& outcome);

}  // namespace Rdr00800::detail
