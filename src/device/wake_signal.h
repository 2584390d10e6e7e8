// A flag one thread raises to end another thread's wait on a device early:
// an eventfd on Linux, a manual-reset event on Windows, so that the backends
// wait on it together with the device. One definition per platform
// (wake_signal_linux.cpp, wake_signal_win32.cpp).
#pragma once

#include <cstdint>

namespace Rdr00800::detail {

class WakeSignal {
 public:
  // Throws std::system_error when the system has no signal to give.
  WakeSignal();
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  // Any thread; stays raised until Clear. Never blocks.
  void Raise() noexcept;
  // Lowers the signal; any thread.
  void Clear() noexcept;
  bool Raised() const noexcept;
  // What a backend waits on: the eventfd descriptor (becomes readable when
  // raised) or the event's HANDLE (signalled when raised).
  intptr_t NativeHandle() const noexcept { return handle_; }

 private:
  intptr_t handle_;
};

}  // namespace Rdr00800::detail
