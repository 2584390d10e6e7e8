// WakeSignal on Windows: a manual-reset event, signalled while raised.
#include <windows.h>

#include <system_error>

#include "device/wake_signal.h"

namespace Rdr00800::detail {

namespace {
HANDLE Event(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
}  // namespace

WakeSignal::WakeSignal() : handle_(reinterpret_cast<intptr_t>(::CreateEventW(nullptr, TRUE, FALSE, nullptr))) {
  if (!handle_) throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "CreateEvent");
}

WakeSignal::~WakeSignal() { ::CloseHandle(Event(handle_)); }

void WakeSignal::Raise() noexcept { ::SetEvent(Event(handle_)); }

void WakeSignal::Clear() noexcept { ::ResetEvent(Event(handle_)); }

bool WakeSignal::Raised() const noexcept { return ::WaitForSingleObject(Event(handle_), 0) == WAIT_OBJECT_0; }

}  // namespace Rdr00800::detail
