// WakeSignal on Linux: an eventfd whose counter is non-zero while raised.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "device/wake_signal.h"

namespace Rdr00800::detail {

namespace {
int Descriptor(intptr_t handle) { return static_cast<int>(handle); }
}  // namespace

WakeSignal::WakeSignal() : handle_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (handle_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

WakeSignal::~WakeSignal() { ::close(Descriptor(handle_)); }

// A full counter (after 2^64-2 raises without a clear) fails with EAGAIN and
// leaves the signal raised, which is all a raise asks.
void WakeSignal::Raise() noexcept {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(Descriptor(handle_), &one, sizeof one);
}

void WakeSignal::Clear() noexcept {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t taken = ::read(Descriptor(handle_), &count, sizeof count);
}

bool WakeSignal::Raised() const noexcept {
  pollfd wait{Descriptor(handle_), POLLIN, 0};
  return ::poll(&wait, 1, 0) > 0 && (wait.revents & POLLIN);
}

}  // namespace Rdr00800::detail
