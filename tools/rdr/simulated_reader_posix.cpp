#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "simulated_reader.h"
#include "support/pty_reader.h"

namespace rdr {
namespace {

using Clock = std::chrono::steady_clock;

// Time a host gets, after it opened the device, to set the line before bytes
// arrive: a host that flushes its input while setting up would lose them.
constexpr std::chrono::milliseconds kSettleTime{50};

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

[[noreturn]] void ThrowSystemError(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

Descriptor Checked(int fd, const std::string& what) {
  if (fd < 0) ThrowSystemError(what);
  return Descriptor(fd);
}

// The target of the symlink at `path`; nullopt when `path` is no symlink.
std::optional<std::string> LinkTarget(const std::string& path) {
  char target[4096];
  const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
  if (length < 0 || static_cast<size_t>(length) == sizeof target) return std::nullopt;
  return std::string(target, static_cast<size_t>(length));
}

// A link this simulator makes: /dev/pts/ and a number.
bool IsSimulatorLink(const std::string& path) {
  const auto target = LinkTarget(path);
  const std::string_view prefix = "/dev/pts/";
  if (!target || !target->starts_with(prefix) || target->size() == prefix.size()) return false;
  return target->find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

// The address of a link's claim: an abstract socket named after the link's
// absolute path (its directory resolved), hashed when too long for a name.
sockaddr_un ClaimAddress(const std::string& link) {
  const std::filesystem::path path = std::filesystem::absolute(link);
  std::string name =
      "rdr00800-simulate-link:" + (std::filesystem::weakly_canonical(path.parent_path()) / path.filename()).string();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.size() >= sizeof address.sun_path)
    name = "rdr00800-simulate-link#" + std::to_string(std::hash<std::string>{}(name));
  std::memcpy(address.sun_path + 1, name.data(), name.size());  // sun_path[0] == 0: abstract
  return address;
}

constexpr socklen_t AddressLength(const sockaddr_un& address) {
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + std::strlen(address.sun_path + 1));
}

// The process holding the claim at `address`, 0 when it cannot be told.
pid_t ClaimHolder(const sockaddr_un& address) {
  const Descriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  ucred holder{};
  socklen_t size = sizeof holder;
  if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), AddressLength(address)) != 0 ||
      ::getsockopt(probe.get(), SOL_SOCKET, SO_PEERCRED, &holder, &size) != 0) {
    return 0;
  }
  return holder.pid;
}

// Claims `link` for this process: the kernel frees the claim when the process
// ends, however it ends, so a link without one was left by a simulator that
// is gone. Throws LinkPathTaken while another simulator holds it.
Descriptor ClaimLink(const std::string& link) {
  Descriptor claim = Checked(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket");
  const sockaddr_un address = ClaimAddress(link);
  if (::bind(claim.get(), reinterpret_cast<const sockaddr*>(&address), AddressLength(address)) == 0) {
    // Listening lets a second simulator ask whose claim it is.
    if (::listen(claim.get(), 1) != 0) ThrowSystemError("listen");
    return claim;
  }
  if (errno != EADDRINUSE) ThrowSystemError("bind");
  const pid_t holder = ClaimHolder(address);
  throw LinkPathTaken(link + " is the link of an rdr simulate that is still running" +
                      (holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string()) +
                      "; stop it or choose another --link");
}

// Makes `link` point to `terminal`, replacing only a link an earlier
// simulator left there; the caller holds the link's claim.
void MakeLink(const std::string& link, const std::string& terminal) {
  if (::symlink(terminal.c_str(), link.c_str()) == 0) return;
  if (errno != EEXIST) ThrowSystemError("symlink " + link);
  if (!IsSimulatorLink(link)) {
    throw LinkPathTaken(link +
                        " exists and is not a link an earlier rdr simulate made; remove it or choose another "
                        "--link");
  }
  if (::unlink(link.c_str()) != 0 || ::symlink(terminal.c_str(), link.c_str()) != 0) {
    ThrowSystemError("symlink " + link);
  }
}

}  // namespace

struct SimulatedReader::State {
  explicit State(SimulatedReaderOptions chosen) : options(std::move(chosen)) {}

  SimulatedReaderOptions options;
  // Keeps its own open of the device: the terminal never hangs up between
  // hosts, and what a host left unread can be taken back.
  rdrtest::PtyReader terminal;
  // Opens and closes of the device by hosts, as inotify events.
  Descriptor opens;
  Descriptor stopSignal;
  Descriptor linkClaim;
  std::thread sender;

  int holders = 0;
  // Frames written and not taken back; the next frame is frames[delivered % size].
  uint32_t delivered = 0;
  // Frames due and not yet written.
  uint32_t owed = 0;
  // The next period's end: while a host holds the device (PerOpen), or from
  // the first open on (Clock).
  std::optional<Clock::time_point> tick;
  // Bytes wait until the latest opener had time to set its line.
  Clock::time_point settled;
  // The rest of frames[delivered % size] that the terminal's queue had no
  // room for yet: written as the host reads, so no frame is ever cut.
  std::string unsent;

  bool ByClock() const { return options.pace == SimulatedReaderOptions::Pace::Clock; }
  const std::string& FrameAt(uint32_t index) const { return options.frames[index % options.frames.size()]; }

  // The last host closed the device: whole frames it did not read go back to
  // be delivered to the next one, and nothing stale waits for it. Returns how
  // many frames went back.
  uint32_t TakeBackUnread() {
    size_t unread = terminal.DropUnread();
    uint32_t taken = 0;
    if (!unsent.empty()) {  // the frame half written goes again, whole
      unread -= std::min(unread, FrameAt(delivered).size() - unsent.size());
      unsent.clear();
      ++taken;
    }
    while (delivered > 0 && unread >= FrameAt(delivered - 1).size()) {
      unread -= FrameAt(delivered - 1).size();
      --delivered;
      ++taken;
    }
    return taken;
  }

  void OnOpen(Clock::time_point now) {
    ++holders;
    settled = now + kSettleTime;
    if (ByClock()) {
      if (!tick) tick = settled;  // the clock starts with the first open
    } else {
      owed = std::max(owed, 1u);
      tick = settled + options.every;
    }
  }

  void OnLastClose() {
    const uint32_t taken = TakeBackUnread();
    if (ByClock()) {
      owed += taken;
    } else {
      owed = 0;
      tick.reset();
    }
  }

  // Counts the periods that ended by `now`. By the clock, one frame at most
  // waits while nobody holds the device.
  void CountPeriods(Clock::time_point now) {
    while (tick && now >= *tick) {
      owed = holders > 0 ? owed + 1 : std::max(owed, 1u);
      *tick += options.every;
    }
    if (ByClock() && AllDelivered()) tick.reset();
  }

  void OnDeviceEvents() {
    alignas(inotify_event) char buffer[4096];
    ssize_t got;
    do {
      got = ::read(opens.get(), buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_OPEN) {
        OnOpen(Clock::now());
      } else if (event->mask & IN_CLOSE && holders > 0 && --holders == 0) {
        OnLastClose();
      }
    }
  }

  void DropHostOutput() {
    char buffer[512];
    while (::read(terminal.ControllingFd(), buffer, sizeof buffer) > 0) {
    }
  }

  bool AllDelivered() const { return options.count != 0 && delivered >= options.count; }

  // While a frame waits for room, the next waits for it.
  bool CanWrite(Clock::time_point now) const { return owed > 0 && holders > 0 && unsent.empty() && now >= settled; }

  void WriteOwedFrames() {
    while (unsent.empty() && owed > 0 && !AllDelivered()) {
      unsent = FrameAt(delivered);
      --owed;
      WriteUnsent();
    }
    if (AllDelivered()) owed = 0;
  }

  // Writes what the terminal's queue takes of `unsent` without blocking; the
  // frame counts as delivered once all of it is written.
  void WriteUnsent() {
    while (!unsent.empty()) {
      const ssize_t written = ::write(terminal.ControllingFd(), unsent.data(), unsent.size());
      if (written < 0 && errno == EINTR) continue;
      if (written < 0 && errno == EAGAIN) return;  // the host reads on: Run waits for room
      if (written < 0) return unsent.clear();      // a terminal that takes no bytes gets no frame
      unsent.erase(0, static_cast<size_t>(written));
    }
    ++delivered;
    if (options.onSent) options.onSent(delivered);
  }

  // Milliseconds until there is something to do, -1 for none.
  int Timeout(Clock::time_point now) const {
    std::optional<Clock::time_point> next = tick;
    if (CanWrite(settled)) next = next ? std::min(*next, settled) : settled;
    if (!next) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
    return static_cast<int>(std::max<decltype(left)>(left, 0));
  }

  void Run() {
    for (;;) {
      const int timeout = Timeout(Clock::now());
      const short terminalEvents = unsent.empty() ? POLLIN : POLLIN | POLLOUT;
      pollfd watched[] = {
          {stopSignal.get(), POLLIN, 0}, {opens.get(), POLLIN, 0}, {terminal.ControllingFd(), terminalEvents, 0}};
      const int ready = ::poll(watched, 3, timeout);
      if (ready < 0 && errno != EINTR) return;
      if (watched[0].revents) return;
      // Whatever a host writes (or its line echoes) is of no use to a reader.
      if (watched[2].revents & POLLIN) DropHostOutput();
      if (watched[1].revents & POLLIN) OnDeviceEvents();
      if ((watched[2].revents & POLLOUT) && !unsent.empty()) WriteUnsent();
      const auto now = Clock::now();
      CountPeriods(now);
      if (CanWrite(now)) WriteOwedFrames();
    }
  }
};

SimulatedReader::SimulatedReader(SimulatedReaderOptions options) {
  if (options.frames.empty()) throw std::invalid_argument("a simulated reader needs a frame");
  state_ = std::make_unique<State>(std::move(options));
  State& state = *state_;
  const int controlling = state.terminal.ControllingFd();
  // A write must never block the thread that also waits for the stop.
  ::fcntl(controlling, F_SETFL, ::fcntl(controlling, F_GETFL) | O_NONBLOCK);
  // Watched only after the simulator's own open, which must not count as a host.
  const std::string& path = state.terminal.SubordinatePath();
  state.opens = Checked(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK), "inotify_init1");
  if (::inotify_add_watch(state.opens.get(), path.c_str(), IN_OPEN | IN_CLOSE) < 0) ThrowSystemError("inotify " + path);
  state.stopSignal = Checked(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd");
  if (!state.options.linkPath.empty()) {
    state.linkClaim = ClaimLink(state.options.linkPath);
    MakeLink(state.options.linkPath, path);
  }
  state.sender = std::thread([&state] { state.Run(); });
}

SimulatedReader::~SimulatedReader() {
  const uint64_t one = 1;
  while (::write(state_->stopSignal.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
  state_->sender.join();
  // Someone may have put something else there meanwhile; that stays.
  const std::string& link = state_->options.linkPath;
  if (!link.empty() && LinkTarget(link) == state_->terminal.SubordinatePath()) ::unlink(link.c_str());
}

const std::string& SimulatedReader::DevicePath() const {
  return state_->options.linkPath.empty() ? TerminalPath() : state_->options.linkPath;
}

const std::string& SimulatedReader::TerminalPath() const { return state_->terminal.SubordinatePath(); }

}  // namespace rdr
