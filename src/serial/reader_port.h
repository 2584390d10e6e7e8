// How every read of a reader opens its port: the one-shot poll
// (serial_read.cpp) and the reader session (reader_session.cpp) both open
// and set the line through these, so both hold the port alike and trace the
// same steps.
//
// Callers: those two, on the thread doing the read. Nothing here blocks
// beyond the open and the line's system calls; nothing throws except
// std::bad_alloc. Failure is the empty result with the cause recorded.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "device/device.h"
#include "serial/read_status.h"

namespace Rdr00800::detail {

// Traces one step of a read: "<subject>: <step>: <result>", for example
// "poll COM7: open /dev/ttyS6: ok". Builds nothing when no handler is set.
void TraceStep(const std::string& subject, const std::string& step, const DeviceFailure& result);

// Opens `port` exclusively and reads its line. nullopt with `cause` set when
// it cannot; nothing stays open then.
std::optional<SerialDevice> OpenWithLine(const std::string& port, const std::string& subject, DeviceFailure& cause,
                                         std::optional<LineSettings>& line);

// Sets `line` to `baud` bit/s, 8 data bits, no parity, one stop bit (raw, as
// SetLineSettings makes every line), the driver queues to `queueSize` and the
// one-shot read's time-outs with `interval`. false with outcome.cause set when
// the device refuses; outcome.baud is the speed asked for either way.
bool SetReaderLine(SerialDevice& device, LineSettings line, int32_t baud, size_t queueSize,
                   std::chrono::milliseconds interval, const std::string& subject, ReadOutcome& outcome);

}  // namespace Rdr00800::detail
