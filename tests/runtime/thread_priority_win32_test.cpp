// TThread priorities on Windows: each ordinal is one SetThreadPriority level.
#include <gtest/gtest.h>
#include <windows.h>

#include "runtime/unique_handle_win32.h"
#include "thread_test_support.h"

namespace {

using rdrtest::ParkedThread;

int PriorityOf(int64_t threadId) {
  const Rdr00800::detail::UniqueHandle thread(
      ::OpenThread(THREAD_QUERY_INFORMATION, FALSE, static_cast<DWORD>(threadId)));
  return thread ? ::GetThreadPriority(thread.get()) : THREAD_PRIORITY_ERROR_RETURN;
}

TEST(ThreadPriority, OrdinalsMapToTheWindowsLevels) {
  ParkedThread thread;
  thread.SetPriority(Rdr00800::tpLowest);  // before the start: applied when it runs
  thread.Start();
  const int64_t id = thread.Tid();
  EXPECT_EQ(PriorityOf(id), THREAD_PRIORITY_LOWEST);

  const std::pair<uint8_t, int> levels[] = {
      {Rdr00800::tpIdle, THREAD_PRIORITY_IDLE},       {Rdr00800::tpLower, THREAD_PRIORITY_BELOW_NORMAL},
      {Rdr00800::tpNormal, THREAD_PRIORITY_NORMAL},   {Rdr00800::tpHigher, THREAD_PRIORITY_ABOVE_NORMAL},
      {Rdr00800::tpHighest, THREAD_PRIORITY_HIGHEST}, {Rdr00800::tpTimeCritical, THREAD_PRIORITY_TIME_CRITICAL},
      {200, THREAD_PRIORITY_TIME_CRITICAL},  // above time-critical counts as time-critical
  };
  for (const auto& [ordinal, level] : levels) {
    thread.SetPriority(ordinal);
    EXPECT_EQ(PriorityOf(id), level) << "ordinal " << int(ordinal);
  }
}

}  // namespace
