// Injected failures of the device backends' system calls, so that error
// paths a real port rarely shows (a signal at the wrong moment, a refused line
// setting, an I/O error mid-read) can be tested. The backends ask before each
// call; with nothing injected that costs one atomic load.
#pragma once

#include <cstdint>

namespace Rdr00800::detail {

// The backend steps a failure can be injected into.
enum class SystemCall : uint8_t { Open, Lock, GetLine, SetLine, Read, Wait };
inline constexpr int kSystemCallKinds = 6;

// Makes the next `times` calls of `call`, after `after` real ones, fail with
// the platform error `error` (an errno value on POSIX) without reaching the
// system. Tests only; applies to calls on any thread.
void InjectSystemCallFailure(SystemCall call, int error, int times = 1, int after = 0);
// Drops every injected failure not yet used.
void ClearSystemCallFailures();

// Called by a backend before `call`: the injected error to fail with, or 0
// to make the real call.
int TakeInjectedFailure(SystemCall call) noexcept;

}  // namespace Rdr00800::detail
