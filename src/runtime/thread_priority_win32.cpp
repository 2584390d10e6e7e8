// Windows: each ordinal is one of the thread priorities SetThreadPriority
// takes, relative to the process's priority class.
#include <windows.h>

#include <algorithm>
#include <array>

#include "runtime/thread_priority.h"
#include "runtime/unique_handle_win32.h"

namespace Rdr00800::detail {
namespace {

constexpr std::array<int, 7> kPriorities = {
    THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,  THREAD_PRIORITY_BELOW_NORMAL,  THREAD_PRIORITY_NORMAL,
    THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_TIME_CRITICAL,
};

}  // namespace

int64_t CurrentNativeThreadId() noexcept { return static_cast<int64_t>(::GetCurrentThreadId()); }

bool ApplyThreadPriority(int64_t nativeId, uint8_t ordinal) noexcept {
  // THREAD_SET_INFORMATION: Wine refuses a priority change through the
  // limited right alone, and the threads are this process's own.
  const UniqueHandle thread(::OpenThread(THREAD_SET_INFORMATION, FALSE, static_cast<DWORD>(nativeId)));
  if (!thread) return false;  // the thread has ended
  const int wanted = kPriorities[std::min<size_t>(ordinal, kPriorities.size() - 1)];
  return ::SetThreadPriority(thread.get(), wanted) || ::SetThreadPriority(thread.get(), THREAD_PRIORITY_NORMAL);
}

}  // namespace Rdr00800::detail
