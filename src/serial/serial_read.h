// The one-shot serial read shared by the optical and proximity reads.
// Runs on the calling thread (the scanner thread for the optical reader);
// blocks up to about one second once the port is open.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "device/device.h"
#include "rdr00800/Rdr00800.h"

namespace Rdr00800::detail {

// One poll of the optical reader: the frame and why the poll ended.
struct OpticalPoll {
  std::string frame;
  ReadStatus status = ReadStatus::Ok;
};

// GetOpticalReaderValue with the outcome the scanner thread needs.
OpticalPoll PollOpticalReader();

// The optical reader's port and speed texts, as IdPortaOpt and IdVelocOpt
// select them now.
struct OpticalReaderSelection {
  std::string port;
  std::string speed;
};
// nullopt when an index lies outside its table, with that outcome recorded
// for LastReadStatus and LastReadMessage as a poll records it. Any thread.
std::optional<OpticalReaderSelection> SelectedOpticalReader();

// A speed text as bits per second; throws std::invalid_argument for a text
// that is no number.
int32_t SpeedFromText(const std::string& text);

// The frame a read makes of the bytes the device delivered: at most the first
// 51, cut at the first NUL, without the last character when
// `dropLastCharacter`. Pure; any thread.
std::string CutFrame(std::string_view delivered, bool dropLastCharacter);
// How many bytes other than NUL the cut at the first NUL left out of the
// first 51 `delivered` holds; NULs after it count as padding. Pure; any thread.
size_t BytesCutByNul(std::string_view delivered);

}  // namespace Rdr00800::detail
