// Readers that misbehave the way shop hardware does: pulled out in the middle
// of a frame, plugged back in, or sending without pause.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "process_usage.h"
#include "rdr00800/Rdr00800.h"
#include "support/pty_reader.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kPort = "COM11";
constexpr int32_t kCom11 = 11;
constexpr int32_t kSpeed9600 = 5;
constexpr uint32_t kWindow = 0xFA17;

std::string LinkPath() { return "/tmp/rdr00800-hardening-" + std::to_string(::getpid()); }

std::string Poll() { return Rdr00800::GetProximidadeReaderValue("2", kPort, 9600); }

class ReaderFaults : public ::testing::Test {
 protected:
  ReaderFaults() { Rdr00800::SetPortDevice(kPort, LinkPath()); }
  ~ReaderFaults() override {
    Rdr00800::SetPortDevice(kPort, "");
    Rdr00800::IdPortaOpt = 0;
    Rdr00800::IdVelocOpt = 0;
  }
};

TEST_F(ReaderFaults, UnpluggedMidFrameGivesNothingAtOnceAndTheNextPollFailsFast) {
  rdrtest::PtyReader reader(LinkPath());
  reader.Send("0012");  // a frame cut short by the unplug
  const auto start = Clock::now();
  auto pending = std::async(std::launch::async, Poll);
  std::this_thread::sleep_for(100ms);
  reader.HangUp();
  EXPECT_EQ(pending.get(), "");
  EXPECT_LT(Clock::now() - start, 700ms);

  const auto retry = Clock::now();
  EXPECT_EQ(Poll(), "");
  EXPECT_LT(Clock::now() - retry, 200ms);
}

// The host's window, typing each relayed code as one line.
struct TypedLines {
  std::string typed;
  int enters = 0;
};

TEST_F(ReaderFaults, ScannerSurvivesAnUnplugAndRelaysFromTheReaderPluggedBackIn) {
  TypedLines window;
  Rdr00800::RegisterWindow(kWindow, [&](uint32_t msg, uintptr_t key, intptr_t) -> intptr_t {
    if (msg == Rdr00800::kWmChar) window.typed += static_cast<char>(key);
    if (msg == Rdr00800::kWmKeyDown) window.typed += '\n', ++window.enters;
    return 0;
  });
  const auto serveUntilEnters = [&](int enters) {
    const auto deadline = Clock::now() + 10s;
    while (window.enters < enters && Clock::now() < deadline) Rdr00800::CheckSynchronize(20);
    return window.enters >= enters;
  };
  Rdr00800::IdPortaOpt = kCom11;
  Rdr00800::IdVelocOpt = kSpeed9600;

  std::optional<rdrtest::PtyReader> reader(std::in_place, LinkPath());
  Rdr00800::TScannerThread scanner(Rdr00800::tpNormal, kWindow);
  scanner.Start();
  reader->Send("FIRST1");
  ASSERT_TRUE(serveUntilEnters(1));

  reader->Send("PART");  // unplugged before the frame could end
  reader->HangUp();
  reader.reset();
  for (int i = 0; i < 5; ++i) Rdr00800::CheckSynchronize(50);  // the thread polls an absent reader

  reader.emplace(LinkPath());
  reader->Send("AGAIN2");
  ASSERT_TRUE(serveUntilEnters(2));
  scanner.Terminate();
  scanner.WaitFor();
  EXPECT_FALSE(scanner.FatalException());
  EXPECT_EQ(window.typed, "FIRST1\nAGAIN2\n");
  Rdr00800::UnregisterWindow(kWindow);
}

// Writes a cycle of printable bytes to the reader as fast as the pty takes
// them, until destroyed.
class ContinuousSender {
 public:
  static char ByteAt(size_t position) { return static_cast<char>(0x20 + position % 95); }

  explicit ContinuousSender(int controllingFd) : fd_(controllingFd) {
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    thread_ = std::thread([this] {
      std::string chunk(95, ' ');
      for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = ByteAt(i);
      size_t offset = 0;  // a write may take part of the chunk
      while (!stop_) {
        const ssize_t written = ::write(fd_, chunk.data() + offset, chunk.size() - offset);
        if (written >= 0) {
          offset = (offset + static_cast<size_t>(written)) % chunk.size();
          continue;
        }
        if (errno != EAGAIN && errno != EINTR) return;
        pollfd writable{fd_, POLLOUT, 0};
        ::poll(&writable, 1, 10);  // the queue is full until the next read
      }
    });
  }
  ~ContinuousSender() {
    stop_ = true;
    thread_.join();
  }
  ContinuousSender(const ContinuousSender&) = delete;
  ContinuousSender& operator=(const ContinuousSender&) = delete;

 private:
  const int fd_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(ReaderFaults, ContinuousStreamOverTenThousandPollsLosesNothingAndHoldsNothing) {
  rdrtest::PtyReader reader(LinkPath());
  ContinuousSender sender(reader.ControllingFd());
  // Every byte arrives once and in order: the sender's cycle, unbroken.
  size_t received = 0;
  const auto pollAndCheck = [&] {
    const std::string frame = Poll();
    ASSERT_FALSE(frame.empty());
    ASSERT_LE(frame.size(), 51u);
    for (const char byte : frame) ASSERT_EQ(byte, ContinuousSender::ByteAt(received++)) << received;
  };
  for (int poll = 0; poll < 200; ++poll) pollAndCheck();  // one-time allocations first
  const int descriptors = rdrtest::OpenDescriptorCount();
  const long threads = rdrtest::ProcessStatusField("Threads");
  const long residentKb = rdrtest::ProcessStatusField("VmRSS");
  for (int poll = 0; poll < 10'000; ++poll) {
    pollAndCheck();
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(rdrtest::OpenDescriptorCount(), descriptors);
  EXPECT_EQ(rdrtest::ProcessStatusField("Threads"), threads);
  if (rdrtest::kResidentMemoryIsMeaningful) {
    EXPECT_LT(rdrtest::ProcessStatusField("VmRSS") - residentKb, 2048);
  }
}

}  // namespace
