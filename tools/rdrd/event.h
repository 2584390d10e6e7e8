// The events rdrd delivers: one JSON text per event, the same bytes on every
// channel. Pure.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace rdrd {

struct Event {
  uint64_t seq = 0;
  std::string type;    // "code" or "reader"
  std::string reader;  // the reader's id
  std::string json;    // what every channel sends, byte for byte
};
using EventPtr = std::shared_ptr<const Event>;

// Windows-1252 text as UTF-8; the five unassigned bytes become the C1
// controls of the same value, so every byte survives.
std::string Windows1252ToUtf8(std::string_view text);
// Two lower-case hexadecimal digits per byte.
std::string HexOf(std::string_view bytes);
// "2026-12-09T01:23:45.678Z".
std::string UtcTimestamp(std::chrono::system_clock::time_point when);
// 32 random hexadecimal digits, new at each start.
std::string NewBootId();

}  // namespace rdrd
