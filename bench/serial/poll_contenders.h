// The ways of polling a reader that the benchmarks hold the library against,
// each as a program written for one port would do it, and the harness that
// times them side by side on one pty. Linux only; the libserialport pieces
// need root.
#pragma once

#include <libserialport.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace rdrtest {
class PtyReader;
}

namespace rdrbench {

using Clock = std::chrono::steady_clock;

constexpr size_t kFrame = 51;
constexpr std::chrono::milliseconds kReadTimeout{1000};

// libserialport knows a port only by a /dev name that has a /sys/class/tty
// entry, which no pty has: BindForLibserialport mounts the pty over this one
// node in a private mount namespace, seen by this process alone.
constexpr const char* kLibserialportName = "/dev/tty63";
bool BindForLibserialport(const std::string& ptyPath);

// Open, configure, read up to kFrame bytes within kReadTimeout, close with
// nothing but termios, waiting in poll() with the time left as most programs
// do; the byte count, 0 on failure.
size_t BarePoll(const std::string& path);

// 9600 bits per second, 8 data bits, no parity, one stop bit; released with
// sp_free_config.
sp_port_config* NewLibserialportConfig();

// The same poll through libserialport with `config`.
size_t LibserialportPoll(const std::string& name, sp_port_config* config);

// Puts the reader's bytes where every contender finds them alike: the input
// queue emptied, the line back to the same raw state (so no contender pays
// for undoing the previous one's settings), then the bytes written and
// waited for until the line discipline holds them all, so that no poll is
// timed waiting for the pty to pass them on.
class QueuedFrame {
 public:
  // Opens the pty's device side for its own use; throws std::system_error.
  QueuedFrame(rdrtest::PtyReader& reader, const std::string& ptyPath);
  ~QueuedFrame();
  QueuedFrame(const QueuedFrame&) = delete;
  QueuedFrame& operator=(const QueuedFrame&) = delete;

  // Throws std::runtime_error when the bytes do not arrive within a second.
  void Queue(std::string_view bytes);

 private:
  rdrtest::PtyReader& reader_;
  int fd_ = -1;
};

struct PollOutcome {
  double micros = 0;
  size_t count = 0;
};

// One poll of `path` by one contender. It calls `queueFrame` exactly once,
// before the part of the poll that reads, and leaves that call out of its
// time.
using Poll = std::function<PollOutcome(const std::string& path, const std::function<void()>& queueFrame)>;

// A poll timed from outside, with the frame queued before it begins.
template <class PollOnce>
Poll TimedFromOutside(PollOnce pollOnce) {
  return [pollOnce](const std::string& path, const std::function<void()>& queueFrame) {
    queueFrame();
    const auto start = Clock::now();
    const size_t count = pollOnce(path);
    return PollOutcome{std::chrono::duration<double, std::micro>(Clock::now() - start).count(), count};
  };
}

struct Samples {
  std::vector<std::vector<double>> micros;  // per contender
  int shortReads = 0;                       // polls that got other than `expected` bytes
};

// Polls `path` with every contender, `warmup` unrecorded rounds and then
// `rounds` recorded ones. Each round takes the contenders in a new shuffled
// order, so that each follows every other alike and none always inherits
// the same one's cache footprint or wake-ups.
Samples TimeInterleaved(std::span<const Poll> contenders, const std::string& path,
                        const std::function<void()>& queueFrame, size_t expected, int warmup, int rounds);

double Median(std::vector<double> samples);

}  // namespace rdrbench
