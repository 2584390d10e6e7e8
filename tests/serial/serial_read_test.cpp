// The one-shot reads as hosts see them: frames, reader settings, failures,
// the port released after every poll, and the C entries.
#include "serial/serial_read.h"

#include <cerrno>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "device/device.h"
#include "device/system_call_faults.h"
#include "rdr00800/Rdr00800.h"
#include "rdr00800/rdr00800.h"
#include "serial_test_support.h"
#include "support/simulated_reader.h"

namespace {

using namespace std::chrono_literals;
using Rdr00800::detail::InjectSystemCallFailure;
using Rdr00800::detail::SystemCall;
using rdrtest::Elapsed;
using rdrtest::OpenHandleCount;

class SerialReadTest : public rdrtest::SerialTest {
 protected:
  SerialReadTest() { Rdr00800::SetPortDevice(kPort, reader_->DevicePath()); }

  std::string Proximity() { return Rdr00800::GetProximidadeReaderValue("2", kPort, 9600); }

  // Points the optical settings at the simulated reader ("COM7" is Portas[7]).
  void UseOpticalReader(int32_t type = 0) {
    Rdr00800::IdPortaOpt = 7;
    Rdr00800::IdVelocOpt = 5;
    Rdr00800::IdTipoOpt = type;
  }

  // No poll left the port held.
  static bool PortIsFree() { return Rdr00800::detail::SerialDevice::Open("COM7:").has_value(); }

  std::unique_ptr<rdrtest::SimulatedReader> reader_ = rdrtest::NewSimulatedReader();
};

// ---- Frames ----

TEST_F(SerialReadTest, FrameIsTheBytesUpToTheFirstNul) {
  reader_->SendWholeRead("12345\r\n");
  EXPECT_EQ(Proximity(), "12345\r\n");
  reader_->SendWholeRead(
      std::string("12\0"
                  "45",
                  5));
  EXPECT_EQ(Proximity(), "12");
  reader_->SendWholeRead(
      std::string("\0"
                  "12",
                  3));
  EXPECT_EQ(Proximity(), "");
}

TEST_F(SerialReadTest, AtMost51BytesPerReadAndTheRestWaitsForTheNext) {
  const std::string burst = std::string(51, 'A') + "123456789";
  reader_->Send(burst);
  std::string frame;
  EXPECT_LT(Elapsed([&] { frame = Proximity(); }), 900ms) << "a whole read waited for the time-out";
  EXPECT_EQ(frame, burst.substr(0, 51));
  // Nothing is purged at the open: the next poll gets the tail, once its
  // second is over.
  EXPECT_GE(Elapsed([&] { frame = Proximity(); }), 900ms);
  EXPECT_EQ(frame, "123456789");
}

TEST_F(SerialReadTest, EveryByteValueArrivesUnchanged) {
  std::string all;
  for (int value = 1; value <= 0xFF; ++value) all += static_cast<char>(value);
  std::string received;
  while (received.size() < all.size()) {
    if (received.empty()) reader_->SendAfter(50ms, all);
    const std::string frame = Proximity();
    ASSERT_FALSE(frame.empty()) << "after " << received.size() << " bytes";
    received += frame;
  }
  EXPECT_EQ(received, all);
}

TEST_F(SerialReadTest, NothingWithinASecondIsTheEmptyText) {
  std::string frame = "unset";
  const auto took = Elapsed([&] { frame = Proximity(); });
  EXPECT_EQ(frame, "");
  EXPECT_GE(took, 1000ms - rdrtest::kTimerEarliness);
  EXPECT_LT(took, 3000ms);
}

// ---- Interval mode ----

TEST_F(SerialReadTest, IntervalModeEndsAQuietReadEarlyWithinTheUsualBounds) {
  struct Piece {
    int afterMs;  // after the previous piece; the first after the read began
    std::string bytes;
  };
  struct Case {
    const char* what;
    int32_t intervalMs;
    std::vector<Piece> pieces;
    size_t minSize, maxSize;
    std::chrono::milliseconds minTook, maxTook;
  };
  std::vector<Piece> ticks;
  for (char c = 'a'; c <= 'o'; ++c) ticks.push_back({100, std::string(1, c)});
  // Gaps are kept far below the interval, so that a busy machine's late
  // sender does not end a read early. Leftovers would reach the next case, so
  // the case that sends past the second comes last.
  const Case cases[] = {
      {"ends once quiet", 50, {{100, "CODE1\r\n"}}, 7, 7, 0ms, 700ms},
      {"gaps shorter than the interval join", 400, {{50, "AB"}, {30, "CD"}, {30, "EF"}}, 6, 6, 0ms, 950ms},
      {"51 bytes end it at once", 800, {{50, std::string(51, 'x')}}, 51, 51, 0ms, 600ms},
      {"nothing waits the second", 50, {}, 0, 0, 1000ms, 1800ms},
      {"the second ends it", 450, ticks, 3, 12, 1000ms, 1800ms},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(Rdr00800_SetSetting(RDR00800_READ_INTERVAL_MS, c.intervalMs));
    ASSERT_EQ(Rdr00800::ReadIntervalTimeoutMs.load(), c.intervalMs);
    std::string sent;
    for (const Piece& piece : c.pieces) sent += piece.bytes;
    std::thread sender([&] {
      for (const Piece& piece : c.pieces) {
        std::this_thread::sleep_for(std::chrono::milliseconds(piece.afterMs));
        reader_->Send(piece.bytes);
      }
    });
    std::string frame;
    const auto took = Elapsed([&] { frame = Proximity(); });
    sender.join();
    EXPECT_GE(frame.size(), c.minSize) << c.what << ": " << frame;
    EXPECT_LE(frame.size(), c.maxSize) << c.what << ": " << frame;
    EXPECT_EQ(sent.substr(0, frame.size()), frame) << c.what;
    EXPECT_GE(took, c.minTook - rdrtest::kTimerEarliness) << c.what;
    EXPECT_LE(took, c.maxTook) << c.what;
  }
}

// ---- Optical settings ----

TEST_F(SerialReadTest, OpticalTypeTwoDropsTheLastCharacter) {
  UseOpticalReader(2);
  reader_->SendWholeRead("12345\r\n");
  EXPECT_EQ(Rdr00800::GetOpticalReaderValue(), "12345\r");
  reader_->SendWholeRead("7");
  EXPECT_EQ(Rdr00800::GetOpticalReaderValue(), "");
  Rdr00800::IdTipoOpt = 1;
  reader_->SendWholeRead("12345\r\n");
  EXPECT_EQ(Rdr00800::GetOpticalReaderValue(), "12345\r\n");
}

TEST_F(SerialReadTest, OpticalReadUsesTheChosenSpeed) {
  UseOpticalReader();
  Rdr00800::IdVelocOpt = 12;
  reader_->Send(std::string(51, 'x'));
  EXPECT_EQ(Rdr00800::GetOpticalReaderValue(), std::string(51, 'x'));
  auto device = Rdr00800::detail::SerialDevice::Open("COM7:");
  ASSERT_TRUE(device);
  EXPECT_EQ(device->GetLineSettings()->baud, 921600);
}

TEST_F(SerialReadTest, OpticalReadsThatNeverReachADevice) {
  struct Case {
    int32_t port, speed;
  };
  // Load values: port "" names no device. 13 is LPT1, no port here. The rest
  // lie outside the tables.
  for (const Case c : {Case{0, 0}, Case{13, 5}, Case{-1, 5}, Case{14, 5}, Case{7, -1}, Case{7, 13}}) {
    Rdr00800::IdPortaOpt = c.port;
    Rdr00800::IdVelocOpt = c.speed;
    Rdr00800::detail::OpticalPoll poll;
    const auto took = Elapsed([&] { poll = Rdr00800::detail::PollOpticalReader(); });
    EXPECT_EQ(poll.frame, "") << c.port << "/" << c.speed;
    EXPECT_NE(poll.status, Rdr00800::ReadStatus::Ok) << c.port << "/" << c.speed;
    EXPECT_LT(took, 500ms);
  }
}

TEST_F(SerialReadTest, LptPortGetsTheSameLineSetup) {
  Rdr00800::SetPortDevice("LPT1", reader_->DevicePath());
  Rdr00800::IdPortaOpt = 13;
  reader_->SendWholeRead("code");
  const auto poll = Rdr00800::detail::PollOpticalReader();
  Rdr00800::SetPortDevice("LPT1", "");
  EXPECT_EQ(poll.frame, "code");
  EXPECT_EQ(poll.status, Rdr00800::ReadStatus::Ok);
}

TEST_F(SerialReadTest, SpeedTextThatIsNoNumberThrowsAfterTheClose) {
  UseOpticalReader();
  const int handles = OpenHandleCount();
  for (const char* speed : {"abc", "", "96OO", "+-9600", "99999999999"}) {
    Rdr00800::Velocidades[5] = speed;
    EXPECT_THROW(Rdr00800::GetOpticalReaderValue(), std::invalid_argument) << speed;
    EXPECT_TRUE(PortIsFree()) << speed;
  }
  EXPECT_EQ(OpenHandleCount(), handles);
  // The text is converted only once the port is open.
  Rdr00800::IdPortaOpt = 0;
  EXPECT_EQ(Rdr00800::GetOpticalReaderValue(), "");

  Rdr00800::IdPortaOpt = 7;
  Rdr00800::Velocidades[5] = "+9600";
  reader_->SendWholeRead("ok");
  EXPECT_EQ(Rdr00800::GetOpticalReaderValue(), "ok");
}

// ---- Proximity settings ----

TEST_F(SerialReadTest, ProximityStoresTheRateWhateverTheOutcome) {
  EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("1", "COM98", 9600), "");
  EXPECT_EQ(Rdr00800::IdVelocProx.load(), 9600);
  EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("1", "", 4800), "");
  EXPECT_EQ(Rdr00800::IdVelocProx.load(), 4800);
  reader_->SendWholeRead("frame");
  EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("3", kPort, -5), "");
  EXPECT_EQ(Rdr00800::IdVelocProx.load(), -5);
  EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("3", kPort, 19200), "frame");
  EXPECT_EQ(Rdr00800::IdVelocProx.load(), 19200);
}

TEST_F(SerialReadTest, ProximityLeavesTheLineAtTheRateEightBitsNoParityOneStop) {
  reader_->SendWholeRead("x");
  EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("2", kPort, 19200), "x");
  auto device = Rdr00800::detail::SerialDevice::Open("COM7:");
  ASSERT_TRUE(device);
  const auto line = device->GetLineSettings();
  ASSERT_TRUE(line);
  EXPECT_EQ(line->baud, 19200);
  EXPECT_EQ(line->dataBits, 8);
  EXPECT_EQ(line->parity, Rdr00800::detail::Parity::None);
  EXPECT_EQ(line->stopBits, 1);
}

// ---- The port after a read ----

TEST_F(SerialReadTest, SecondReaderIsRefusedWhileAReadHoldsThePort) {
  if (!rdrtest::PortsAreExclusive()) GTEST_SKIP() << "this platform's serial ports let a second open through";
  auto holding = std::async(std::launch::async, [this] { return Proximity(); });
  std::this_thread::sleep_for(200ms);
  std::string second = "unset";
  const auto took = Elapsed([&] { second = Proximity(); });
  EXPECT_EQ(second, "");
  EXPECT_LT(took, 500ms);
  reader_->SendWholeRead("first");
  EXPECT_EQ(holding.get(), "first");
}

TEST_F(SerialReadTest, NoHandleLeaksOverAThousandMixedPolls) {
  const std::string frame(51, 'k');
  Proximity();  // lets one-time allocations (the timer's, the mapping's) happen first
  const int before = OpenHandleCount();
  int successes = 0;
  for (int poll = 0; poll < 1000; ++poll) {
    switch (poll % 10) {
      case 0:
        EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("2", "COM99", 9600), "");  // no such device
        break;
      case 1:
        InjectSystemCallFailure(SystemCall::SetLine, EINVAL);
        EXPECT_EQ(Proximity(), "");
        break;
      case 2:
        // The read fails as on an unplugged reader; the frame waits for the next poll.
        InjectSystemCallFailure(SystemCall::Read, EIO);
        reader_->Send(frame);
        EXPECT_EQ(Proximity(), "");
        successes += Proximity() == frame;
        break;
      default:
        reader_->Send(frame);
        successes += Proximity() == frame;
    }
  }
  EXPECT_EQ(Proximity(), "");  // a time-out, one since each costs a second

  EXPECT_EQ(successes, 800);
  EXPECT_EQ(OpenHandleCount(), before);
  EXPECT_TRUE(PortIsFree());
}

TEST_F(SerialReadTest, EmptyPortTextCannotBeMapped) {
  EXPECT_THROW(Rdr00800::SetPortDevice("", reader_->DevicePath()), std::invalid_argument);
  Rdr00800_SetPortDevice(nullptr, reader_->DevicePath().c_str());
  char* error = Rdr00800_LastError();
  EXPECT_NE(std::string(error).find("cannot be mapped"), std::string::npos) << error;
  Rdr00800_FreeText(error);
  Rdr00800::SetPortDevice("", "");  // removing nothing is harmless
  EXPECT_EQ(Rdr00800::PortDevicePath(""), "");
  reader_->SendWholeRead("never");
  EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("2", "", 9600), "");
  EXPECT_EQ(Rdr00800::LastReadStatus(), Rdr00800::ReadStatus::NoSuchDevice);
}

// ---- Trace ----

// Collects trace lines until destroyed, then removes the handler.
struct TraceLines {
  TraceLines() {
    Rdr00800::SetTraceHandler([this](std::string_view line) { lines.emplace_back(line); });
  }
  ~TraceLines() { Rdr00800::SetTraceHandler(nullptr); }
  // Each line with its timing ("in 1.234 ms") cut off, for comparing.
  std::vector<std::string> Untimed() const {
    std::vector<std::string> untimed;
    for (const auto& line : lines) {
      const auto timing = line.find(" in ");
      untimed.push_back(timing == std::string::npos ? line : line.substr(0, timing) + line.substr(line.rfind(':')));
    }
    return untimed;
  }
  std::vector<std::string> lines;
};

TEST_F(SerialReadTest, TraceShowsEachStepOfAPollOnlyWhileAHandlerIsSet) {
  const std::string open = "poll " + std::string(kPort) + ": open " + reader_->DevicePath();
  const std::string poll = "poll " + std::string(kPort) + ": ";
  {
    TraceLines trace;
    reader_->SendWholeRead("code");
    EXPECT_EQ(Proximity(), "code");
    EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("2", "", 9600), "");
    EXPECT_EQ(trace.Untimed(),
              (std::vector<std::string>{open + ": ok", poll + "line 9600 8N1: ok", poll + "read 51 bytes: ok",
                                        poll + "close", "poll : open : no such device"}));
    ASSERT_EQ(trace.lines.size(), 5u);
    EXPECT_NE(trace.lines[2].find(" ms: ok"), std::string::npos) << trace.lines[2];
  }
  // Removed: nothing more is traced, and a handler that throws changes no read.
  reader_->SendWholeRead("code");
  EXPECT_EQ(Proximity(), "code");
  Rdr00800::SetTraceHandler([](std::string_view) { throw std::runtime_error("handler failed"); });
  reader_->SendWholeRead("code");
  EXPECT_EQ(Proximity(), "code");
  Rdr00800::SetTraceHandler(nullptr);
}

TEST_F(SerialReadTest, CTraceHandlerGetsTheLinesWithItsContext) {
  std::vector<std::string> lines;
  Rdr00800_SetTraceHandler(
      [](void* context, const char* line) { static_cast<std::vector<std::string>*>(context)->emplace_back(line); },
      &lines);
  Rdr00800_FreeText(Rdr00800_GetProximidadeReaderValue("2", "", 9600));
  Rdr00800_SetTraceHandler(nullptr, nullptr);
  Rdr00800_FreeText(Rdr00800_GetProximidadeReaderValue("2", "", 9600));
  EXPECT_EQ(lines, std::vector<std::string>{"poll : open : no such device"});
  EXPECT_STREQ(Rdr00800_ReadStatusName(RDR00800_READ_BUSY), "busy");
  EXPECT_STREQ(Rdr00800_ReadStatusName(99), "unknown");
}

// ---- C entries ----

TEST_F(SerialReadTest, CEntriesMapPortsAndReadFrames) {
  Rdr00800_SetPortDevice("COM5", reader_->DevicePath().c_str());
  reader_->SendWholeRead("12345\r\n");
  char* frame = Rdr00800_GetProximidadeReaderValue(nullptr, "com5", 9600);
  ASSERT_NE(frame, nullptr);
  EXPECT_STREQ(frame, "12345\r\n");
  Rdr00800_FreeText(frame);

  Rdr00800_SetPortDevice("COM5", nullptr);
  char* unmapped = Rdr00800_GetProximidadeReaderValue("2", "COM5", 9600);
  EXPECT_STREQ(unmapped, "");
  Rdr00800_FreeText(unmapped);
  char* noPort = Rdr00800_GetProximidadeReaderValue("2", nullptr, 9600);
  EXPECT_STREQ(noPort, "");
  Rdr00800_FreeText(noPort);
}

TEST_F(SerialReadTest, COpticalEntryTurnsTheSpeedErrorIntoTheEmptyText) {
  UseOpticalReader(2);
  reader_->SendWholeRead("ab");
  char* frame = Rdr00800_GetOpticalReaderValue();
  EXPECT_STREQ(frame, "a");
  Rdr00800_FreeText(frame);

  Rdr00800::Velocidades[5] = "fast";
  char* failed = Rdr00800_GetOpticalReaderValue();
  ASSERT_NE(failed, nullptr);
  EXPECT_STREQ(failed, "");
  Rdr00800_FreeText(failed);
  char* error = Rdr00800_LastError();
  EXPECT_NE(std::string(error).find("fast"), std::string::npos) << error;
  Rdr00800_FreeText(error);
}

}  // namespace
