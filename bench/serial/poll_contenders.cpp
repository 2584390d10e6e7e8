#include "poll_contenders.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <numeric>
#include <random>
#include <stdexcept>
#include <system_error>

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

namespace rdrbench {

namespace {

// Raw 9600 8N1; VMIN 0 and VTIME 0, so that a read takes what has arrived
// and any waiting is poll()'s.
void MakeRaw(termios& line) {
  ::cfmakeraw(&line);
  ::cfsetspeed(&line, B9600);
  line.c_cflag |= CREAD | CLOCAL;
  line.c_cc[VMIN] = 0;
  line.c_cc[VTIME] = 0;
}

}  // namespace

bool BindForLibserialport(const std::string& ptyPath) {
  return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount(ptyPath.c_str(), kLibserialportName, nullptr, MS_BIND, nullptr) == 0;
}

size_t BarePoll(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return 0;
  termios line{};
  size_t count = 0;
  if (::tcgetattr(fd, &line) == 0) {
    MakeRaw(line);
    if (::tcsetattr(fd, TCSANOW, &line) == 0) {
      std::array<char, kFrame> buffer;
      const auto deadline = Clock::now() + kReadTimeout;
      for (;;) {
        const ssize_t got = ::read(fd, buffer.data() + count, kFrame - count);
        if (got < 0 && errno != EINTR) break;
        if (got > 0) count += static_cast<size_t>(got);
        const auto left = deadline - Clock::now();
        if (count == kFrame || left <= Clock::duration::zero()) break;
        pollfd wait{fd, POLLIN, 0};
        const auto leftMs = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        if (::poll(&wait, 1, static_cast<int>(leftMs)) < 0 && errno != EINTR) break;
        if (wait.revents & (POLLHUP | POLLERR | POLLNVAL)) break;
      }
    }
  }
  ::close(fd);
  return count;
}

sp_port_config* NewLibserialportConfig() {
  sp_port_config* config = nullptr;
  sp_new_config(&config);
  sp_set_config_baudrate(config, 9600);
  sp_set_config_bits(config, 8);
  sp_set_config_parity(config, SP_PARITY_NONE);
  sp_set_config_stopbits(config, 1);
  return config;
}

size_t LibserialportPoll(const std::string& name, sp_port_config* config) {
  sp_port* port = nullptr;
  if (sp_get_port_by_name(name.c_str(), &port) != SP_OK) return 0;
  size_t count = 0;
  if (sp_open(port, SP_MODE_READ_WRITE) == SP_OK) {
    if (sp_set_config(port, config) == SP_OK) {
      std::array<char, kFrame> buffer;
      const int got = sp_blocking_read(port, buffer.data(), kFrame, static_cast<unsigned>(kReadTimeout.count()));
      count = got > 0 ? static_cast<size_t>(got) : 0;
    }
    sp_close(port);
  }
  sp_free_port(port);
  return count;
}

QueuedFrame::QueuedFrame(rdrtest::PtyReader& reader, const std::string& ptyPath)
    : reader_(reader), fd_(::open(ptyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "open " + ptyPath);
}

QueuedFrame::~QueuedFrame() { ::close(fd_); }

void QueuedFrame::Queue(std::string_view bytes) {
  termios line{};
  MakeRaw(line);
  ::tcsetattr(fd_, TCSANOW, &line);
  ::tcflush(fd_, TCIFLUSH);
  reader_.Send(bytes);
  const auto giveUp = Clock::now() + std::chrono::seconds(1);
  for (int queued = 0; static_cast<size_t>(queued) < bytes.size(); ::sched_yield()) {
    if (::ioctl(fd_, FIONREAD, &queued) != 0 || Clock::now() > giveUp) {
      throw std::runtime_error("the pty did not pass the frame on");
    }
  }
}

Samples TimeInterleaved(std::span<const Poll> contenders, const std::string& path,
                        const std::function<void()>& queueFrame, size_t expected, int warmup, int rounds) {
  Samples samples;
  samples.micros.resize(contenders.size());
  std::vector<size_t> order(contenders.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::mt19937 shuffler(8);  // fixed, so that runs are alike
  for (int round = -warmup; round < rounds; ++round) {
    std::shuffle(order.begin(), order.end(), shuffler);
    for (const size_t which : order) {
      const PollOutcome outcome = contenders[which](path, queueFrame);
      if (round < 0) continue;
      samples.micros[which].push_back(outcome.micros);
      if (outcome.count != expected) ++samples.shortReads;
    }
  }
  return samples;
}

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

}  // namespace rdrbench
