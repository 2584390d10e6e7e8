// What a ReaderSession costs while it holds an idle port on Windows, and how
// soon Cancel ends its wait. Run under scripts/test_windows.sh's setup (COM1
// with nothing arriving):
//
//   held_session_win32_bench [idle seconds, default 5] [cancels, default 20]
//
// Prints this process's CPU time per second of idle hold, then the median and
// the longest time from Cancel to the return of the waiting NextCode, and as
// the floor under it the same for a thread woken from an event. Wine
// does part of a port's work in its server: add that process's CPU time
// (from /proc) for the whole cost.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "rdr00800/Rdr00800.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// User and kernel time of this process.
std::chrono::microseconds ProcessCpuTime() {
  FILETIME created, exited, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  const auto ticks = [](const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  return std::chrono::microseconds((ticks(kernel) + ticks(user)) / 10);
}

// Runs `wait` on a thread `times` times and ends each wait with `end` after
// 100 ms: the median and the longest milliseconds from `end` to the return.
template <class Wait, class End>
void PrintLatencies(const char* what, int times, Wait wait, End end) {
  std::vector<double> latencies;
  for (int i = 0; i < times; ++i) {
    Clock::time_point returned;
    std::thread waiter([&] {
      wait();
      returned = Clock::now();
    });
    std::this_thread::sleep_for(100ms);
    const auto ended = Clock::now();
    end();
    waiter.join();
    latencies.push_back(std::chrono::duration<double, std::milli>(returned - ended).count());
  }
  std::sort(latencies.begin(), latencies.end());
  std::printf("%s over %d waits: median %.2f ms, longest %.2f ms\n", what, times, latencies[latencies.size() / 2],
              latencies.back());
}

}  // namespace

int main(int argc, char** argv) {
  const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 5;
  const int cancels = argc > 2 ? std::atoi(argv[2]) : 20;
  Rdr00800::ReaderSession session("COM1", 9600);
  // Opens the port; nothing arrives.
  session.NextCode(100ms);
  if (session.Status() != Rdr00800::ReadStatus::Ok) {
    std::fprintf(stderr, "COM1 cannot be held: run under test_windows.sh's setup\n");
    return 1;
  }

  const auto cpuBefore = ProcessCpuTime();
  const auto idleStart = Clock::now();
  session.NextCode(std::chrono::seconds(idleSeconds));
  const std::chrono::duration<double> idle = Clock::now() - idleStart;
  const std::chrono::duration<double, std::milli> cpu = ProcessCpuTime() - cpuBefore;
  std::printf("idle hold: %.1f s, CPU %.2f ms per second\n", idle.count(), cpu.count() / idle.count());

  PrintLatencies(
      "Cancel to return", cancels, [&] { session.NextCode(10s); }, [&] { session.Cancel(); });
  const HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  PrintLatencies(
      "floor, an event's SetEvent to its waiter's return", cancels, [&] { ::WaitForSingleObject(event, INFINITE); },
      [&] { ::SetEvent(event); });
  ::CloseHandle(event);
  return 0;
}
