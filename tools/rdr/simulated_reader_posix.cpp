#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <system_error>
#include <thread>
#include <utility>

#include "simulated_reader.h"

namespace rdr {
namespace {

// Time a host gets, after it opened the device, to set the line before bytes
// arrive: a host that flushes its input while setting up would lose them.
constexpr std::chrono::milliseconds kSettleTime{50};
constexpr std::chrono::milliseconds kOpenCheckPeriod{10};

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);  // not retried on EINTR: the descriptor is gone either way
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// The controlling side reports a hang-up while no program holds the
// subordinate side open.
bool SomeoneListens(int controlling) {
  pollfd check{controlling, POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&check, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && (check.revents & POLLHUP) == 0;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<size_t>(written);
  }
  return true;
}

// Sleeps up to `span`; false when a stop was requested meanwhile.
bool Pause(std::stop_token stop, std::chrono::milliseconds span) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  return !wake.wait_for(lock, stop, span, [] { return false; });
}

}  // namespace

struct SimulatedReader::State {
  SimulatedReaderOptions options;
  Descriptor controlling;
  std::string terminalPath;
  std::atomic<bool> finished{false};
  std::jthread sender;

  void Send(std::stop_token stop) {
    uint32_t sent = 0;
    while (!stop.stop_requested() && (options.count == 0 || sent < options.count)) {
      if (!SomeoneListens(controlling.get())) {
        if (!Pause(stop, kOpenCheckPeriod)) return;
        // A program that only looked at the device and closed it again
        // (rdr checking that a port opens) gets nothing.
        if (!SomeoneListens(controlling.get()) || !Pause(stop, kSettleTime)) continue;
        if (!SomeoneListens(controlling.get())) continue;
      }
      if (!WriteAll(controlling.get(), options.frames[sent % options.frames.size()])) return;
      ++sent;
      if (options.onSent) options.onSent(sent);
      if (options.count != 0 && sent == options.count) break;
      if (!Pause(stop, options.every)) return;
    }
    // The last frame is read before the reader goes away: ending while a host
    // still reads would hang up its line.
    while (SomeoneListens(controlling.get())) {
      if (!Pause(stop, kOpenCheckPeriod)) return;
    }
    finished = true;
  }
};

SimulatedReader::SimulatedReader(SimulatedReaderOptions options) : state_(std::make_unique<State>()) {
  state_->options = std::move(options);
  if (state_->options.frames.empty()) throw std::invalid_argument("a simulated reader needs a frame");
  int controlling = -1;
  int subordinate = -1;
  char path[256] = {};
  termios raw{};
  cfmakeraw(&raw);
  if (::openpty(&controlling, &subordinate, path, &raw, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "openpty");
  }
  state_->controlling = Descriptor(controlling);
  // Only hosts hold the subordinate side open, so that its hang-up tells
  // whether anyone listens.
  ::close(subordinate);
  ::fcntl(controlling, F_SETFD, FD_CLOEXEC);
  state_->terminalPath = path;
  if (!state_->options.linkPath.empty()) {
    ::unlink(state_->options.linkPath.c_str());
    if (::symlink(path, state_->options.linkPath.c_str()) != 0) {
      throw std::system_error(errno, std::generic_category(), "symlink " + state_->options.linkPath);
    }
  }
  state_->sender = std::jthread([state = state_.get()](std::stop_token stop) { state->Send(stop); });
}

SimulatedReader::~SimulatedReader() {
  state_->sender.request_stop();
  if (state_->sender.joinable()) state_->sender.join();
  if (!state_->options.linkPath.empty()) ::unlink(state_->options.linkPath.c_str());
}

const std::string& SimulatedReader::DevicePath() const {
  return state_->options.linkPath.empty() ? state_->terminalPath : state_->options.linkPath;
}

const std::string& SimulatedReader::TerminalPath() const { return state_->terminalPath; }

bool SimulatedReader::Finished() const { return state_->finished; }

}  // namespace rdr
