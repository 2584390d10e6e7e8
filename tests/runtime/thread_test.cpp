// TThread: synchronized calls, waiting, destruction and errors.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "rdr00800/Rdr00800.h"
#include "thread_test_support.h"

namespace {

using namespace std::chrono_literals;
using Rdr00800::CheckSynchronize;
using rdrtest::Eventually;
using rdrtest::LambdaThread;

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

}  // namespace
