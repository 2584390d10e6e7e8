// One poll of a reader that has a full 51-byte frame queued, four ways: the
// library's one-shot read without and with a trace handler, a bare termios
// read and libserialport. Then how far past its second a poll of a short
// frame runs.
//
//   serial_poll_bench [rounds]      (as root: it needs a private mount)
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "poll_contenders.h"
#include "rdr00800/Rdr00800.h"
#include "support/pty_reader.h"

namespace {

using rdrbench::kFrame;
using rdrbench::Median;

constexpr const char* kPort = "COM7";
constexpr int kWarmupRounds = 50;

size_t PollThroughTheLibrary(const std::string&) {
  return Rdr00800::GetProximidadeReaderValue("2", kPort, 9600).size();
}

// The trace lines' bytes, so the handler does some work with each line.
size_t gTracedBytes = 0;

// The library's poll with a trace handler set for it alone; the handler is
// set and removed outside the timed part.
rdrbench::Poll TracedLibraryPoll() {
  return [timed = rdrbench::TimedFromOutside(PollThroughTheLibrary)](const std::string& path,
                                                                     const std::function<void()>& queueFrame) {
    Rdr00800::SetTraceHandler([](std::string_view line) { gTracedBytes += line.size(); });
    const rdrbench::PollOutcome outcome = timed(path, queueFrame);
    Rdr00800::SetTraceHandler(nullptr);
    return outcome;
  };
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
  rdrtest::PtyReader reader;
  const std::string pty = reader.SubordinatePath();
  Rdr00800::SetPortDevice(kPort, pty);
  if (!rdrbench::BindForLibserialport(pty)) {
    std::perror("binding the pty for libserialport (run as root)");
    return 1;
  }
  rdrbench::QueuedFrame queued(reader, pty);
  sp_port_config* config = rdrbench::NewLibserialportConfig();

  const std::array<const char*, 4> names = {"rdr00800 one-shot read", "  with a trace handler", "bare termios",
                                            "libserialport"};
  const std::array<rdrbench::Poll, 4> contenders = {
      rdrbench::TimedFromOutside(PollThroughTheLibrary),
      TracedLibraryPoll(),
      rdrbench::TimedFromOutside([](const std::string& path) { return rdrbench::BarePoll(path); }),
      rdrbench::TimedFromOutside(
          [config](const std::string&) { return rdrbench::LibserialportPoll(rdrbench::kLibserialportName, config); }),
  };
  const rdrbench::Samples samples = rdrbench::TimeInterleaved(
      contenders, pty, [&] { queued.Queue(std::string(kFrame, 'R')); }, kFrame, kWarmupRounds, rounds);
  sp_free_config(config);

  const double bare = Median(samples.micros[2]);
  std::printf("One poll, %zu bytes queued on a pty, %d rounds, %d short reads\n", kFrame, rounds, samples.shortReads);
  std::printf("%-24s %12s %16s\n", "", "median (us)", "vs bare termios");
  for (size_t i = 0; i < names.size(); ++i) {
    const double median = Median(samples.micros[i]);
    std::printf("%-24s %12.2f %15.2fx\n", names[i], median, median / bare);
  }
  std::printf("(the trace handler got %.1f bytes of lines per poll)\n",
              static_cast<double>(gTracedBytes) / (kWarmupRounds + rounds));

  std::printf("\nA %d-byte frame: the poll waits out its second\n", 12);
  std::vector<double> overshoots;
  for (int repetition = 0; repetition < 5; ++repetition) {
    queued.Queue(std::string(12, 'S'));
    const auto start = rdrbench::Clock::now();
    const size_t got = Rdr00800::GetProximidadeReaderValue("2", kPort, 9600).size();
    const double overshoot = std::chrono::duration<double, std::milli>(rdrbench::Clock::now() - start).count() - 1000.0;
    overshoots.push_back(overshoot);
    std::printf("  poll %d: %zu bytes, %.3f ms past 1000 ms\n", repetition + 1, got, overshoot);
  }
  std::printf("median overshoot %.3f ms, worst %.3f ms\n", Median(overshoots),
              *std::max_element(overshoots.begin(), overshoots.end()));
  Rdr00800::SetPortDevice(kPort, "");
  return 0;
}
