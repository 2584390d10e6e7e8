// One poll of a reader that has a full 51-byte frame queued, three ways: the
// library's one-shot read, a bare termios read and libserialport. Then how
// far past its second a poll of a short frame runs.
//
//   serial_poll_bench [rounds]      (as root: it needs a private mount)
#include <fcntl.h>
#include <libserialport.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "rdr00800/Rdr00800.h"
#include "support/pty_reader.h"

// libserialport reads the modem lines at open, which a pty does not have
// (ENOTTY). The bench answers "all lines off" after the kernel refused, so
// libserialport still pays for the call; every other request passes through.
extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  const long result = ::syscall(SYS_ioctl, fd, request, argument);
  if (result == -1 && errno == ENOTTY && (request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC)) {
    if (request == TIOCMGET) *static_cast<int*>(argument) = 0;
    return 0;
  }
  return static_cast<int>(result);
}

namespace {

// libserialport knows a port only by a /dev name that has a /sys/class/tty
// entry, which no pty has: in a private mount namespace the pty is bound over
// one such node, seen by this process alone.
constexpr const char* kLibserialportName = "/dev/tty63";

bool BindForLibserialport(const std::string& ptyPath) {
  return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount(ptyPath.c_str(), kLibserialportName, nullptr, MS_BIND, nullptr) == 0;
}

using Clock = std::chrono::steady_clock;
constexpr size_t kFrame = 51;

// Open, configure, read, close with nothing but termios, as a program
// written for this one pty would.
size_t BarePoll(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return 0;
  termios line{};
  size_t count = 0;
  if (::tcgetattr(fd, &line) == 0) {
    ::cfmakeraw(&line);
    ::cfsetspeed(&line, B9600);
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 10;
    if (::tcsetattr(fd, TCSANOW, &line) == 0) {
      std::array<char, kFrame> buffer;
      while (count < kFrame) {
        const ssize_t got = ::read(fd, buffer.data() + count, kFrame - count);
        if (got <= 0) break;
        count += static_cast<size_t>(got);
      }
    }
  }
  ::close(fd);
  return count;
}

size_t LibserialportPoll(const std::string& name, sp_port_config* config) {
  sp_port* port = nullptr;
  if (sp_get_port_by_name(name.c_str(), &port) != SP_OK) return 0;
  size_t count = 0;
  if (sp_open(port, SP_MODE_READ_WRITE) == SP_OK) {
    if (sp_set_config(port, config) == SP_OK) {
      std::array<char, kFrame> buffer;
      const int got = sp_blocking_read(port, buffer.data(), kFrame, 1000);
      count = got > 0 ? static_cast<size_t>(got) : 0;
    }
    sp_close(port);
  }
  sp_free_port(port);
  return count;
}

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

struct Contender {
  const char* name;
  std::function<size_t()> poll;
  std::vector<double> micros;
  int shortReads = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
  rdrtest::PtyReader reader;
  Rdr00800::SetPortDevice("COM7", reader.DevicePath());
  if (!BindForLibserialport(reader.SubordinatePath())) {
    std::perror("binding the pty for libserialport (run as root)");
    return 1;
  }
  const std::string frame(kFrame, 'R');

  sp_port_config* config = nullptr;
  sp_new_config(&config);
  sp_set_config_baudrate(config, 9600);
  sp_set_config_bits(config, 8);
  sp_set_config_parity(config, SP_PARITY_NONE);
  sp_set_config_stopbits(config, 1);

  std::array<Contender, 3> contenders = {{
      {"rdr00800 one-shot read", [] { return Rdr00800::GetProximidadeReaderValue("2", "COM7", 9600).size(); }, {}},
      {"bare termios", [&] { return BarePoll(reader.SubordinatePath()); }, {}},
      {"libserialport", [&] { return LibserialportPoll(kLibserialportName, config); }, {}},
  }};
  // Rounds interleave the contenders so that drifts of the machine hit all.
  for (int round = 0; round < rounds; ++round) {
    for (Contender& contender : contenders) {
      reader.Send(frame);
      const auto start = Clock::now();
      const size_t got = contender.poll();
      contender.micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      if (got != kFrame) {
        ++contender.shortReads;
        reader.Flush();
      }
    }
  }
  sp_free_config(config);

  const double ours = Median(contenders[0].micros);
  std::printf("One poll, %zu bytes queued on a pty, %d rounds\n", kFrame, rounds);
  std::printf("%-24s %12s %14s %12s\n", "", "median (us)", "vs rdr00800", "short reads");
  for (const Contender& contender : contenders) {
    const double median = Median(contender.micros);
    std::printf("%-24s %12.2f %13.2fx %12d\n", contender.name, median, median / ours, contender.shortReads);
  }

  std::printf("\nA %d-byte frame: the poll waits out its second\n", 12);
  std::vector<double> overshoots;
  for (int repetition = 0; repetition < 5; ++repetition) {
    reader.Send(std::string(12, 'S'));
    const auto start = Clock::now();
    const size_t got = Rdr00800::GetProximidadeReaderValue("2", "COM7", 9600).size();
    const double overshoot = std::chrono::duration<double, std::milli>(Clock::now() - start).count() - 1000.0;
    overshoots.push_back(overshoot);
    std::printf("  poll %d: %zu bytes, %.3f ms past 1000 ms\n", repetition + 1, got, overshoot);
  }
  std::printf("median overshoot %.3f ms, worst %.3f ms\n", Median(overshoots),
              *std::max_element(overshoots.begin(), overshoots.end()));
  Rdr00800::SetPortDevice("COM7", "");
  return 0;
}
