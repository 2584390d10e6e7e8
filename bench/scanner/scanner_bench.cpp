// Scanner figures: relay latency from a poll's return to the Enter in the
// host window; end-to-end latency from the reader's last byte to that Enter,
// on a pseudo-terminal, in interval mode, with whole-second polls and with the
// port held in a session (ScannerHoldsPort), and from the line end to a
// session's NextCode returning (with a repeat hold and without), and from
// Terminate to the end of a scanner holding its port; and the processor cost
// of a scanner on a port that cannot be opened, with the pause after such
// polls and without it, and on a port that opens but fails every read at once.
//
// Usage: rdr00800_scanner_bench [relay samples, default 2000] [idle seconds, default 5]
//                               [end-to-end samples, default 200] [whole-second samples, default 20]
//                               [session samples, default 200]
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "rdr00800/Rdr00800.h"
#include "scanner/optical_poll_source.h"
#include "serial/serial_read.h"
#include "serial/system_call_faults.h"
#include "support/pty_reader.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kWindow = 0xBE7C;

// The stand-in read: returns a 12-character code a little later, so the
// host is already blocked in CheckSynchronize, and stamps the moment it
// returns.
std::atomic<int64_t> gReadReturnedNs{0};
Rdr00800::detail::OpticalPoll TwelveCharacterRead() {
  std::this_thread::sleep_for(200us);
  gReadReturnedNs = Clock::now().time_since_epoch().count();
  return {"ABCDEF123456", Rdr00800::ReadStatus::Ok};
}

void MeasureRelayLatency(int samples) {
  std::vector<int64_t> latenciesNs;
  latenciesNs.reserve(static_cast<size_t>(samples));
  Rdr00800::RegisterWindow(kWindow, [&](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
    if (msg == Rdr00800::kWmKeyDown)
      latenciesNs.push_back(Clock::now().time_since_epoch().count() - gReadReturnedNs.load());
    return 0;
  });
  Rdr00800::detail::SetOpticalPollSource(&TwelveCharacterRead);
  {
    Rdr00800::TScannerThread scanner(Rdr00800::tpNormal, kWindow);
    scanner.Start();
    while (static_cast<int>(latenciesNs.size()) < samples) Rdr00800::CheckSynchronize(1000);
  }
  Rdr00800::detail::SetOpticalPollSource(nullptr);
  Rdr00800::UnregisterWindow(kWindow);

  std::sort(latenciesNs.begin(), latenciesNs.end());
  auto at = [&](double q) {
    const auto index = static_cast<size_t>(q * static_cast<double>(latenciesNs.size() - 1));
    return static_cast<double>(latenciesNs[index]) / 1000.0;
  };
  std::printf("relay latency, read return -> Enter in window (%zu samples): median %.1f us, p90 %.1f us, p99 %.1f us\n",
              latenciesNs.size(), at(0.5), at(0.9), at(0.99));
}

double Quantile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(q * static_cast<double>(values.size() - 1))];
}

void PrintLatencies(const char* label, const std::vector<double>& latenciesMs, const char* measured) {
  if (latenciesMs.empty()) {
    std::printf("%s: no code arrived\n", label);
    return;
  }
  std::printf("%s: median %.3f ms, p90 %.3f ms, p99 %.3f ms, min %.3f ms, max %.3f ms (%zu samples, %s)\n", label,
              Quantile(latenciesMs, 0.5), Quantile(latenciesMs, 0.9), Quantile(latenciesMs, 0.99),
              Quantile(latenciesMs, 0), Quantile(latenciesMs, 1), latenciesMs.size(), measured);
}

// A code sent to a pseudo-terminal at a random moment against the scanner's
// polls (or its held port); timed from the write of its last byte to the
// Enter in the window. Main thread: it sends, then serves the scanner's calls
// until the Enter.
void MeasureEndToEnd(const char* label, int32_t intervalMs, bool holdPort, int samples) {
  rdrtest::PtyReader reader;
  Rdr00800::SetPortDevice("COM1", reader.DevicePath());
  Rdr00800::IdPortaOpt = 1;
  Rdr00800::IdVelocOpt = 5;
  Rdr00800::ReadIntervalTimeoutMs = intervalMs;
  Rdr00800::ScannerHoldsPort = holdPort;
  Clock::time_point enteredAt{};
  int entered = 0;
  Rdr00800::RegisterWindow(kWindow, [&](uint32_t msg, uintptr_t key, intptr_t) -> intptr_t {
    if (msg == Rdr00800::kWmKeyDown && key == Rdr00800::kVkReturn) {
      enteredAt = Clock::now();
      ++entered;
    }
    return 0;
  });
  std::vector<double> latenciesMs;
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> pauseMs(0, intervalMs > 0 || holdPort ? 100 : 1000);
  {
    Rdr00800::TScannerThread scanner(Rdr00800::tpNormal, kWindow);
    scanner.Start();
    for (int sample = 0; sample < samples; ++sample) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs(random)));
      const int before = entered;
      // Stamped before the write, which the reading thread may answer before it returns.
      const auto sentAt = Clock::now();
      reader.Send("ABCDEF123456\r\n");
      while (entered == before) Rdr00800::CheckSynchronize(2000);
      latenciesMs.push_back(std::chrono::duration<double, std::milli>(enteredAt - sentAt).count());
    }
  }
  Rdr00800::UnregisterWindow(kWindow);
  Rdr00800::ReadIntervalTimeoutMs = 0;
  Rdr00800::ScannerHoldsPort = false;
  Rdr00800::SetPortDevice("COM1", "");
  PrintLatencies((std::string("end-to-end ") + label).c_str(), latenciesMs, "last byte -> Enter");
}

// A scanner holding its port, waiting for a code; timed from Terminate to the
// end of WaitFor.
void MeasureSessionTerminate(int samples) {
  rdrtest::PtyReader reader;
  Rdr00800::SetPortDevice("COM1", reader.DevicePath());
  Rdr00800::IdPortaOpt = 1;
  Rdr00800::IdVelocOpt = 5;
  Rdr00800::ScannerHoldsPort = true;
  std::vector<double> latenciesMs;
  for (int sample = 0; sample < samples; ++sample) {
    Rdr00800::TScannerThread scanner(Rdr00800::tpNormal, kWindow);
    scanner.Start();
    std::this_thread::sleep_for(30ms);  // into its wait for a code
    const auto terminatedAt = Clock::now();
    scanner.Terminate();
    scanner.WaitFor();
    latenciesMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - terminatedAt).count());
  }
  Rdr00800::ScannerHoldsPort = false;
  Rdr00800::SetPortDevice("COM1", "");
  PrintLatencies("session Terminate", latenciesMs, "Terminate -> end of WaitFor");
}

// A session waiting in NextCode on a pseudo-terminal; another thread sends a
// code at a random moment. Timed from the write of its line end to NextCode's
// return. Each code differs from the one before, so that a repeat hold hands
// every one out and the row shows what checking it costs.
void MeasureSessionNextCode(const char* label, std::chrono::milliseconds repeatHold, int samples) {
  rdrtest::PtyReader reader;
  Rdr00800::ReaderSession session(reader.DevicePath(), 9600);
  session.SetRepeatHold(repeatHold);
  session.NextCode(0ms);  // opens the port
  std::atomic<int64_t> sentAtNs{0};
  std::atomic<int> timed{0};
  std::thread sender([&] {
    std::mt19937 random(54321);
    std::uniform_int_distribution<int> pauseMs(0, 100);
    for (int sample = 0; sample < samples; ++sample) {
      // The previous code's stamp stays until it has been timed.
      while (timed.load() < sample) std::this_thread::sleep_for(1ms);
      std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs(random)));
      // Stamped first: the stamp must be there when NextCode returns.
      sentAtNs = Clock::now().time_since_epoch().count();
      reader.Send("ABCDEF" + std::to_string(100000 + sample) + "\r\n");
    }
  });
  std::vector<double> latenciesMs;
  while (static_cast<int>(latenciesMs.size()) < samples) {
    if (!session.NextCode(5s)) break;
    const int64_t now = Clock::now().time_since_epoch().count();
    latenciesMs.push_back(static_cast<double>(now - sentAtNs.load()) / 1e6);
    ++timed;
  }
  sender.join();
  PrintLatencies(label, latenciesMs, "line end -> NextCode return");
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs `thread` for `seconds` while the host serves calls, as a host does;
// returns the process's processor use in percent of one core.
double CpuPercentWhileRunning(Rdr00800::TThread& thread, int seconds) {
  const double cpuBefore = ProcessCpuSeconds();
  const auto start = Clock::now();
  thread.Start();
  while (Clock::now() - start < std::chrono::seconds(seconds)) Rdr00800::CheckSynchronize(100);
  thread.Terminate();
  thread.WaitFor();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  return 100.0 * (ProcessCpuSeconds() - cpuBefore) / wall;
}

// The loop without the pause: polls again at once after a failed open.
class BackToBackPoller : public Rdr00800::TThread {
 public:
  BackToBackPoller() : TThread(true) {}
  std::atomic<long> polls{0};

 protected:
  void Execute() override {
    while (!Terminated()) {
      Rdr00800::detail::PollOpticalReader();
      ++polls;
    }
  }
};

void MeasureIdleCost(int seconds) {
  Rdr00800::IdPortaOpt = 0;  // the empty port text names no device
  Rdr00800::TScannerThread scanner(Rdr00800::tpNormal, kWindow);
  std::printf("idle cost over %d s, port that cannot be opened, with the pause: %.2f%% of one core\n", seconds,
              CpuPercentWhileRunning(scanner, seconds));
  BackToBackPoller unpaused;
  const double percent = CpuPercentWhileRunning(unpaused, seconds);
  std::printf("idle cost over %d s, same port, polling back to back: %.1f%% of one core (%ld polls)\n", seconds,
              percent, unpaused.polls.load());

  // A reader that hangs up at once: the port opens and its line is set, then
  // every read fails with EIO.
  rdrtest::PtyReader reader;
  Rdr00800::SetPortDevice("COM1", reader.SubordinatePath());
  Rdr00800::IdPortaOpt = 1;
  Rdr00800::IdVelocOpt = 5;
  Rdr00800::detail::InjectSystemCallFailure(Rdr00800::detail::SystemCall::Read, EIO, 1 << 30);
  Rdr00800::TScannerThread hangingUp(Rdr00800::tpNormal, kWindow);
  std::printf("idle cost over %d s, port that opens and fails every read at once, with the pause: %.2f%% of one core\n",
              seconds, CpuPercentWhileRunning(hangingUp, seconds));
  BackToBackPoller unpausedHangingUp;
  const double hangingUpPercent = CpuPercentWhileRunning(unpausedHangingUp, seconds);
  std::printf("idle cost over %d s, same port, polling back to back: %.1f%% of one core (%ld polls)\n", seconds,
              hangingUpPercent, unpausedHangingUp.polls.load());
  Rdr00800::detail::ClearSystemCallFailures();
  Rdr00800::SetPortDevice("COM1", "");
  Rdr00800::IdPortaOpt = 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int samples = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
  const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const int endToEnd = argc > 3 ? std::max(1, std::atoi(argv[3])) : 200;
  const int wholeSecond = argc > 4 ? std::max(1, std::atoi(argv[4])) : 20;
  const int sessionSamples = argc > 5 ? std::max(1, std::atoi(argv[5])) : 200;
  MeasureRelayLatency(samples);
  MeasureSessionNextCode("session NextCode", 0ms, sessionSamples);
  MeasureSessionNextCode("session NextCode, repeat hold 1000 ms", 1000ms, sessionSamples);
  MeasureEndToEnd("session", 0, true, sessionSamples);
  MeasureSessionTerminate(20);
  MeasureEndToEnd("interval 20 ms", 20, false, endToEnd);
  MeasureEndToEnd("whole second", 0, false, wholeSecond);
  MeasureIdleCost(seconds);
  return 0;
}
