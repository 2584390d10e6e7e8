// TThread priorities on Linux: scheduling policy and nice values.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "thread_test_support.h"

namespace {

using rdrtest::ParkedThread;

// Clears CAP_SYS_NICE from the calling thread's effective set (threads it
// creates inherit that), as for a host without the privilege.
class WithoutNicePrivilege {
 public:
  WithoutNicePrivilege() {
    Get();
    saved_ = data_[0].effective;
    data_[0].effective &= ~(1u << CAP_SYS_NICE);
    Set();
  }
  ~WithoutNicePrivilege() {
    data_[0].effective = saved_;
    Set();
  }

 private:
  void Get() { syscall(SYS_capget, &header_, data_); }
  void Set() { syscall(SYS_capset, &header_, data_); }
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data_[2]{};
  uint32_t saved_ = 0;
};

int NiceOf(int64_t tid) { return getpriority(PRIO_PROCESS, static_cast<id_t>(tid)); }
int ProcessNice() { return getpriority(PRIO_PROCESS, static_cast<id_t>(getpid())); }

TEST(ThreadPriority, OrdinalsMapToPolicyAndNice) {
  ParkedThread thread;
  thread.SetPriority(Rdr00800::tpLowest);  // before the start: applied when it runs
  thread.Start();
  const int64_t tid = thread.Tid();
  EXPECT_EQ(NiceOf(tid), std::min(ProcessNice() + 10, 19));
  EXPECT_EQ(sched_getscheduler(static_cast<pid_t>(tid)), SCHED_OTHER);

  thread.SetPriority(Rdr00800::tpIdle);
  EXPECT_EQ(sched_getscheduler(static_cast<pid_t>(tid)), SCHED_IDLE);
  EXPECT_EQ(thread.Priority(), Rdr00800::tpIdle);

  thread.SetPriority(200);  // above time-critical counts as time-critical
  EXPECT_EQ(thread.Priority(), Rdr00800::tpTimeCritical);
}

TEST(ThreadPriority, RaiseWithoutPrivilegeStaysNormal) {
  WithoutNicePrivilege unprivileged;
  ParkedThread thread;
  thread.SetPriority(Rdr00800::tpHighest);
  thread.Start();
  EXPECT_EQ(NiceOf(thread.Tid()), ProcessNice());
  EXPECT_EQ(thread.Priority(), Rdr00800::tpHighest);
}

}  // namespace
