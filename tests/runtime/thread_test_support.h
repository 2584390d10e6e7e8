// Threads for the TThread tests: a body given as a lambda, and a thread that
// parks until terminated and reports its native id.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "rdr00800/Rdr00800.h"
#include "runtime/thread_priority.h"

namespace rdrtest {

using namespace std::chrono_literals;

// Runs the function it is given as its body.
class LambdaThread : public Rdr00800::TThread {
 public:
  explicit LambdaThread(std::function<void(LambdaThread&)> body) : TThread(true), body_(std::move(body)) {}
  ~LambdaThread() override { TerminateAndWait(); }

  using Rdr00800::TThread::SetReturnValue;
  using Rdr00800::TThread::Sleep;
  using Rdr00800::TThread::Synchronize;

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

// Waits until terminated, reporting its native thread id.
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

}  // namespace rdrtest
