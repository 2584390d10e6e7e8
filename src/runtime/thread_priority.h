// Per-thread scheduling for TThread priorities. One implementation per
// platform (thread_priority_linux.cpp, thread_priority_win32.cpp); the
// ordinals and what they map to are documented beside TThread in the public
// header.
#pragma once

#include <cstdint>

namespace Rdr00800::detail {

// The kernel's id of the calling thread. TThread records it on the new thread
// as soon as it starts, so that SetPriority can reach a running thread from
// another one. Never blocks, never fails.
int64_t CurrentNativeThreadId() noexcept;

// Gives thread `nativeId` the scheduling of priority `ordinal` (0..6; higher
// values count as 6). Called by TThread on the new thread at its start and by
// SetPriority on whichever thread calls it, while the target thread runs.
// Never blocks. A raise the process has no privilege for puts the thread at
// normal instead; returns false only when not even that could be set (for
// example a thread that has already ended).
bool ApplyThreadPriority(int64_t nativeId, uint8_t ordinal) noexcept;

}  // namespace Rdr00800::detail
