#include "network_polls.h"

#include <poll.h>
#include <sys/inotify.h>
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

}  // namespace

NetworkPolls TimeNetworkPolls(int rounds, const std::function<PollOutcome(const std::string& url)>& pyserialPoll) {
  rdrtest::PtyReader reader;
  rdrtest::Ser2netServer server(reader.SubordinatePath());
  const std::string frame = std::string(kFrame - 2, 'N') + "\r\n";
  ReaderAtOpen readerAtOpen(reader, frame);
  NetworkPolls polls;
  polls.rounds = rounds;
  // One poll of the library: its total time, the time after the frame, lost.
  const auto ours = [&](const std::string& path, std::vector<double>* total, std::vector<double>& afterFrame,
                        int& lost) {
    Rdr00800::SetPortDevice(kPort, path);
    readerAtOpen.Arm();
    const Clock::time_point start = Clock::now();
    const std::string got = Rdr00800::GetProximidadeReaderValue("2", kPort, 9600);
    const Clock::time_point end = Clock::now();
    const auto sent = readerAtOpen.AwaitClose();
    if (got != frame || !sent) {
      ++lost;
    } else {
      afterFrame.push_back(MsBetween(*sent, end));
      if (total) total->push_back(MsBetween(start, end));
    }
    reader.DropUnread();
  };
  for (int round = 0; round < rounds; ++round) {
    ours(server.Rfc2217Path(), &polls.rfc2217Total, polls.rfc2217AfterFrame, polls.rfc2217Lost);
    ours(server.TcpPath(), nullptr, polls.tcpAfterFrame, polls.tcpLost);
    readerAtOpen.Arm();
    // Without ign_set_control pyserial gives up on a pty behind ser2net.
    const PollOutcome outcome = pyserialPoll(server.Rfc2217Path() + "?ign_set_control");
    readerAtOpen.AwaitClose();
    polls.pyserialTotal.push_back(outcome.micros / 1000.0);
    if (outcome.count != kFrame) ++polls.pyserialLost;
    reader.DropUnread();
  }
  Rdr00800::SetPortDevice(kPort, "");
  return polls;
}

}  // namespace rdrbench
