// TThread: synchronized calls, waiting, destruction, errors and priorities.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "rdr00800/Rdr00800.h"
#include "runtime/thread_priority.h"

namespace {

using namespace std::chrono_literals;
using Rdr00800::CheckSynchronize;
using Rdr00800::TThread;

// Runs the function it is given as its body.
class LambdaThread : public TThread {
 public:
  explicit LambdaThread(std::function<void(LambdaThread&)> body) : TThread(true), body_(std::move(body)) {}
  ~LambdaThread() override { TerminateAndWait(); }

  using TThread::SetReturnValue;
  using TThread::Sleep;
  using TThread::Synchronize;

 protected:
  void Execute() override { body_(*this); }

 private:
  std::function<void(LambdaThread&)> body_;
};

// Polls `condition` without serving synchronized calls; true once it holds.
template <class Condition>
bool Eventually(Condition condition, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(ThreadLifecycle, SuspendedUntilStartedAndReturnsItsValue) {
  std::atomic<bool> ran{false};
  LambdaThread thread([&](LambdaThread& self) {
    ran = true;
    self.SetReturnValue(42);
  });
  EXPECT_TRUE(thread.Suspended());
  EXPECT_EQ(thread.WaitFor(), 0u);  // never started: at once
  EXPECT_FALSE(ran);
  thread.Start();
  thread.Start();  // no second run
  EXPECT_EQ(thread.WaitFor(), 42u);
  EXPECT_TRUE(ran);
  EXPECT_TRUE(thread.Finished());
  EXPECT_FALSE(thread.Suspended());
  EXPECT_FALSE(thread.FatalException());
}

TEST(ThreadLifecycle, TerminateEndsSleepAtOnce) {
  LambdaThread thread([](LambdaThread& self) { self.Sleep(60'000); });
  thread.Start();
  std::this_thread::sleep_for(20ms);
  const auto before = std::chrono::steady_clock::now();
  thread.Terminate();
  thread.WaitFor();
  EXPECT_TRUE(thread.Terminated());
  EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
}

TEST(ThreadLifecycle, FreeOnTerminateThreadDeletesItself) {
  static std::atomic<bool> destroyed;
  destroyed = false;
  struct SelfFreeing : LambdaThread {
    using LambdaThread::LambdaThread;
    ~SelfFreeing() override { destroyed = true; }
  };
  auto* thread = new SelfFreeing([](LambdaThread&) {});
  thread->SetFreeOnTerminate(true);
  EXPECT_TRUE(thread->FreeOnTerminate());
  thread->Start();
  EXPECT_TRUE(Eventually([] { return destroyed.load(); }));
}

TEST(Synchronize, OnTheMainThreadRunsAtOnce) {
  LambdaThread thread([](LambdaThread&) {});
  bool ran = false;
  thread.Synchronize([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_FALSE(CheckSynchronize());
}

TEST(Synchronize, ErrorOfTheMethodReachesTheCaller) {
  LambdaThread thread([](LambdaThread& self) { self.Synchronize([] { throw std::logic_error("host"); }); });
  thread.Start();
  thread.WaitFor();
  ASSERT_TRUE(thread.FatalException());
  EXPECT_THROW(std::rethrow_exception(thread.FatalException()), std::logic_error);
}

TEST(Synchronize, CheckSynchronizeServesQueuedCallsAndWakesTheHost) {
  std::atomic<int> wakes{0};
  Rdr00800::SetWakeMainThread([&] { ++wakes; });
  std::atomic<int> calls{0};
  LambdaThread thread([&](LambdaThread& self) {
    for (int i = 0; i < 3; ++i) self.Synchronize([&] { ++calls; });
  });
  thread.Start();
  EXPECT_TRUE(Eventually([&] {
    CheckSynchronize(10);
    return calls == 3;
  }));
  thread.WaitFor();
  Rdr00800::SetWakeMainThread(nullptr);
  EXPECT_EQ(wakes, 3);
  EXPECT_FALSE(CheckSynchronize(0));
}

TEST(Synchronize, DestroyingOffTheMainThreadDropsTheWaitingCall) {
  std::atomic<bool> queued{false};
  Rdr00800::SetWakeMainThread([&] { queued = true; });
  std::atomic<bool> delivered{false};
  auto* thread = new LambdaThread([&](LambdaThread& self) {
    self.Synchronize([&] { delivered = true; });
    self.Synchronize([&] { delivered = true; });  // after the drop: not queued at all
  });
  thread->Start();
  ASSERT_TRUE(Eventually([&] { return queued.load(); }));
  // The main thread serves nothing meanwhile; the destruction must still end.
  std::thread destroyer([thread] { delete thread; });
  destroyer.join();
  Rdr00800::SetWakeMainThread(nullptr);
  EXPECT_FALSE(CheckSynchronize(0));
  EXPECT_FALSE(delivered);
}

// --- Priorities ------------------------------------------------------------

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

// Waits until terminated, reporting its kernel thread id.
class ParkedThread : public LambdaThread {
 public:
  ParkedThread()
      : LambdaThread([this](LambdaThread& self) {
          tid_ = Rdr00800::detail::CurrentNativeThreadId();
          while (!self.Terminated()) self.Sleep(1000);
        }) {}
  int64_t Tid() {
    EXPECT_TRUE(Eventually([this] { return tid_.load() != 0; }));
    return tid_;
  }

 private:
  std::atomic<int64_t> tid_{0};
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
