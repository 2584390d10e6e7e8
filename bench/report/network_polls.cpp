#include "network_polls.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "rdr00800/Rdr00800.h"
#include "support/pty_reader.h"
#include "support/ser2net_server.h"

namespace rdrbench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPort = "COM9";

double MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// The reader: sends its frame when ser2net opens its device (inotify on the
// pty), and tells when ser2net has closed it again.
class ReaderAtOpen {
 public:
  ReaderAtOpen(rdrtest::PtyReader& reader, std::string frame)
      : reader_(reader), frame_(std::move(frame)), inotify_(::inotify_init1(IN_CLOEXEC)) {
    if (inotify_ < 0 || ::inotify_add_watch(inotify_, reader.SubordinatePath().c_str(),
                                            IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
      throw std::runtime_error("cannot watch the pty");
    }
    thread_ = std::thread([this] { Watch(); });
  }
  ~ReaderAtOpen() {
    stop_ = true;
    thread_.join();
    ::close(inotify_);
  }

  // Sends the frame at the next open of the device.
  void Arm() {
    std::lock_guard lock(mutex_);
    armed_ = true;
    sent_.reset();
    closed_ = false;
  }
  // Waits until the server closed the device it opened after Arm, so that
  // the next poll finds it free (at most two seconds, for a server that
  // never opened it); when the frame went, if it did.
  std::optional<Clock::time_point> AwaitClose() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(2), [this] { return closed_; });
    return sent_;
  }

 private:
  void Watch() {
    std::array<char, 4096> events;
    while (!stop_) {
      pollfd wait{inotify_, POLLIN, 0};
      if (::poll(&wait, 1, 50) <= 0) continue;
      const ssize_t got = ::read(inotify_, events.data(), events.size());
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events.data() + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        std::lock_guard lock(mutex_);
        if ((event->mask & IN_OPEN) && armed_) {
          armed_ = false;
          reader_.Send(frame_);
          sent_ = Clock::now();
        } else if ((event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) && sent_) {
          closed_ = true;
        }
        changed_.notify_all();
      }
    }
  }

  rdrtest::PtyReader& reader_;
  std::string frame_;
  int inotify_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool armed_ = false;
  bool closed_ = false;
  std::optional<Clock::time_point> sent_;
  std::thread thread_;
};

// A bare client of the raw accepter at `port`: reads until `size` bytes have
// come or a second has passed, then closes. When the last byte came, if all did.
std::optional<Clock::time_point> BareSocketRead(uint16_t port, size_t size) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  std::optional<Clock::time_point> last;
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
    std::array<char, 256> buffer;
    for (size_t got = 0; got < size;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd wait{fd, POLLIN, 0};
      if (left <= 0 || ::poll(&wait, 1, static_cast<int>(left)) <= 0) break;
      const ssize_t count = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (count <= 0) break;
      got += static_cast<size_t>(count);
      if (got >= size) last = Clock::now();
    }
  }
  if (fd >= 0) ::close(fd);
  return last;
}

uint16_t PortOf(const std::string& path) { return static_cast<uint16_t>(std::stoi(path.substr(path.rfind(':') + 1))); }

// A reader behind its own ser2net, with `options` for its connections.
struct ServedReader {
  explicit ServedReader(const std::string& frame, const std::vector<std::string>& options = {})
      : server(reader.SubordinatePath(), options), atOpen(reader, frame) {}
  rdrtest::PtyReader reader;
  rdrtest::Ser2netServer server;
  ReaderAtOpen atOpen;
};

}  // namespace

NetworkPolls TimeNetworkPolls(int rounds, const std::function<PollOutcome(const std::string& url)>& pyserialPoll) {
  const std::string frame = std::string(kFrame - 2, 'N') + "\r\n";
  ServedReader batched(frame);
  ServedReader prompt(frame, {"chardelay: false"});
  NetworkPolls polls;
  polls.rounds = rounds;
  // One read through `served`: `read` returns when the frame was in, or
  // nullopt when it was not all there.
  const auto timed = [&](ServedReader& served, std::vector<double>& afterFrame, auto&& read) {
    served.atOpen.Arm();
    const std::optional<Clock::time_point> end = read();
    const auto sent = served.atOpen.AwaitClose();
    if (!end || !sent) {
      ++polls.lost;
    } else {
      afterFrame.push_back(MsBetween(*sent, *end));
    }
    served.reader.DropUnread();
  };
  // The library's poll of `path`; its whole time goes to `total` when given.
  const auto ours = [&](const std::string& path, std::vector<double>* total) {
    return [&frame, path, total]() -> std::optional<Clock::time_point> {
      Rdr00800::SetPortDevice(kPort, path);
      const Clock::time_point start = Clock::now();
      const std::string got = Rdr00800::GetProximidadeReaderValue("2", kPort, 9600);
      const Clock::time_point end = Clock::now();
      if (got != frame) return std::nullopt;
      if (total) total->push_back(MsBetween(start, end));
      return end;
    };
  };
  for (int round = 0; round < rounds; ++round) {
    for (auto [served, after] : {std::pair{&batched, &polls.batched}, std::pair{&prompt, &polls.prompt}}) {
      const bool first = served == &batched;
      timed(*served, after->rfc2217, ours(served->server.Rfc2217Path(), first ? &polls.rfc2217Total : nullptr));
      timed(*served, after->tcp, ours(served->server.TcpPath(), nullptr));
      timed(*served, after->bareSocket, [&] { return BareSocketRead(PortOf(served->server.TcpPath()), kFrame); });
    }
    batched.atOpen.Arm();
    // Without ign_set_control pyserial gives up on a pty behind ser2net.
    const PollOutcome outcome = pyserialPoll(batched.server.Rfc2217Path() + "?ign_set_control");
    batched.atOpen.AwaitClose();
    polls.pyserialTotal.push_back(outcome.micros / 1000.0);
    if (outcome.count != kFrame) ++polls.pyserialLost;
    batched.reader.DropUnread();
  }
  Rdr00800::SetPortDevice(kPort, "");
  return polls;
}

}  // namespace rdrbench
