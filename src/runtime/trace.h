// The trace hook: one line for each step of a poll or a gateway call, handed
// to the host's handler on the thread doing the work. Off by default; while
// no handler is set a step costs one relaxed atomic load, and the line is
// never built.
//
// Callers: the one-shot read (any thread) and the decryption gateway (main
// thread). The handler may be replaced from any thread while steps run; a
// step that already took the old handler finishes with it.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

namespace Rdr00800::detail {

extern std::atomic<bool> gTracing;

// Whether a handler is set: test this before building a line.
inline bool Tracing() noexcept { return gTracing.load(std::memory_order_relaxed); }

// Hands `line` to the handler, if one is set. An exception from the handler
// is dropped: a trace must not change what the traced step does.
void Trace(const std::string& line) noexcept;

// When a timed step starts: the time now while tracing, else nothing is asked
// of the clock.
std::chrono::steady_clock::time_point TraceClock() noexcept;
// "12.345 ms": the time since `start`, for a trace line.
std::string MillisecondsSince(std::chrono::steady_clock::time_point start);

}  // namespace Rdr00800::detail
