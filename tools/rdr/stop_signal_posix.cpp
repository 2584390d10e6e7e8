// Self-pipe: the handler writes one byte and never drains it, so every later
// wait sees the pipe readable at once.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <system_error>
#include <thread>

#include "stop_signal.h"

namespace rdr {
namespace {

std::atomic<bool> stopRequested{false};
std::atomic<int> stopSignal{0};
int wakeRead = -1;
int wakeWrite = -1;

void OnStopSignal(int signal) {
  const int savedErrno = errno;
  stopSignal.store(signal);
  stopRequested.store(true);
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(wakeWrite, &byte, 1);
  errno = savedErrno;
}

}  // namespace

void InstallStopSignals() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  wakeRead = fds[0];
  wakeWrite = fds[1];
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGINT, SIGTERM}) {
    if (::sigaction(signal, &action, nullptr) != 0) {
      throw std::system_error(errno, std::generic_category(), "sigaction");
    }
  }
}

bool StopRequested() { return stopRequested.load(); }

void EndIfStopRequested() {
  if (!StopRequested()) return;
  const int signal = stopSignal.load();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

bool WaitForStop(std::chrono::milliseconds timeout) {
  if (StopRequested()) return true;
  if (wakeRead < 0) {
    std::this_thread::sleep_for(timeout);
    return StopRequested();
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return StopRequested();
    pollfd wake{wakeRead, POLLIN, 0};
    const int ready = ::poll(&wake, 1, static_cast<int>(left.count()));
    if (ready > 0 || StopRequested()) return true;
    if (ready < 0 && errno != EINTR) return StopRequested();
  }
}

}  // namespace rdr
