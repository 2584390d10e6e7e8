// Linux: each ordinal is the thread's own scheduling policy and nice value,
// set through its kernel thread id so any thread can change another's.
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "runtime/thread_priority.h"

namespace Rdr00800::detail {
namespace {

constexpr uint8_t kIdleOrdinal = 0;
constexpr uint8_t kHighestOrdinal = 6;
// Nice offsets from the process's own value, by ordinal; the idle ordinal
// uses SCHED_IDLE instead.
constexpr int kNiceOffsets[] = {0, 10, 5, 0, -5, -10, -20};

bool SetPolicy(int64_t nativeId, int policy) {
  sched_param param{};
  param.sched_priority = 0;
  return sched_setscheduler(static_cast<pid_t>(nativeId), policy, &param) == 0;
}

bool SetNice(int64_t nativeId, int nice) {
  return setpriority(PRIO_PROCESS, static_cast<id_t>(nativeId), std::clamp(nice, -20, 19)) == 0;
}

// The nice value of the process's main thread: "normal" for every ordinal.
int ProcessNice() {
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
  return errno == 0 ? nice : 0;
}

}  // namespace

int64_t CurrentNativeThreadId() noexcept { return static_cast<int64_t>(syscall(SYS_gettid)); }

bool ApplyThreadPriority(int64_t nativeId, uint8_t ordinal) noexcept {
  ordinal = std::min(ordinal, kHighestOrdinal);
  if (ordinal == kIdleOrdinal) return SetPolicy(nativeId, SCHED_IDLE);
  // Leaving SCHED_IDLE may be refused without privilege; the nice value below
  // still applies, so the result does not depend on it.
  SetPolicy(nativeId, SCHED_OTHER);
  const int normal = ProcessNice();
  if (SetNice(nativeId, normal + kNiceOffsets[ordinal])) return true;
  if (errno != EPERM && errno != EACCES) return false;
  return SetNice(nativeId, normal);
}

}  // namespace Rdr00800::detail
