// The one-shot reads as hosts see them: frames, reader settings, failures,
// the port released after every poll, and the C entries.
#include <cerrno>
#include <future>
#include <string>
#include <thread>

#include "rdr00800/Rdr00800.h"
#include "rdr00800/rdr00800.h"
#include "serial/device.h"
#include "serial/serial_read.h"
#include "serial/system_call_faults.h"
#include "serial_test_support.h"

namespace {

using namespace std::chrono_literals;
using Rdr00800::detail::InjectSystemCallFailure;
using Rdr00800::detail::SystemCall;
using rdrtest::Elapsed;
using rdrtest::ExclusiveFlag;
using rdrtest::OpenDescriptorCount;

class SerialReadTest : public rdrtest::SerialTest {
 protected:
  std::string Proximity() { return Rdr00800::GetProximidadeReaderValue("2", kPort, 9600); }

  // Points the optical settings at the simulated reader ("COM7" is Portas[7]).
  void UseOpticalReader(int32_t type = 0) {
    Rdr00800::IdPortaOpt = 7;
    Rdr00800::IdVelocOpt = 5;
    Rdr00800::IdTipoOpt = type;
  }
};

// ---- Frames ----

TEST_F(SerialReadTest, FrameIsTheBytesUpToTheFirstNul) {
  reader_.Send("12345\r\n");
  EXPECT_EQ(Proximity(), "12345\r\n");
  reader_.Send(std::string("12\0" "45", 5));
  EXPECT_EQ(Proximity(), "12");
  reader_.Send(std::string("\0" "12", 3));
  EXPECT_EQ(Proximity(), "");
}

TEST_F(SerialReadTest, AtMost51BytesPerReadAndTheRestWaitsForTheNext) {
  const std::string burst = std::string(51, 'A') + "123456789";
  reader_.Send(burst.substr(0, 51));
  EXPECT_EQ(Proximity(), burst.substr(0, 51));
  reader_.Send(burst);
  EXPECT_EQ(Proximity(), burst.substr(0, 51));
  // Nothing is purged at the open: the next poll gets the tail.
  EXPECT_EQ(Proximity(), "123456789");
}

TEST_F(SerialReadTest, EveryByteValueArrivesUnchanged) {
  std::string all;
  for (int value = 1; value <= 0xFF; ++value) all += static_cast<char>(value);
  std::string received;
  while (received.size() < all.size()) {
    if (received.empty()) reader_.SendAfter(50ms, all);
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
  EXPECT_GE(took, 1000ms);
  EXPECT_LT(took, 3000ms);
}

// ---- Optical settings ----

TEST_F(SerialReadTest, OpticalTypeTwoDropsTheLastCharacter) {
  UseOpticalReader(2);
  reader_.Send("12345\r\n");
  EXPECT_EQ(Rdr00800::GetOpticalReaderValue(), "12345\r");
  reader_.Send("7");
  EXPECT_EQ(Rdr00800::GetOpticalReaderValue(), "");
  Rdr00800::IdTipoOpt = 1;
  reader_.Send("12345\r\n");
  EXPECT_EQ(Rdr00800::GetOpticalReaderValue(), "12345\r\n");
}

TEST_F(SerialReadTest, OpticalReadUsesTheChosenSpeed) {
  UseOpticalReader();
  Rdr00800::IdVelocOpt = 12;
  reader_.Send(std::string(51, 'x'));
  EXPECT_EQ(Rdr00800::GetOpticalReaderValue(), std::string(51, 'x'));
  auto device = Rdr00800::detail::SerialDevice::Open("COM7:");
  ASSERT_TRUE(device);
  EXPECT_EQ(device->GetLineSettings()->baud, 921600);
}

TEST_F(SerialReadTest, OpticalReadsThatNeverReachADevice) {
  struct Case {
    int32_t port, speed;
  };
  // Load values: port "" names no device. 13 is LPT1, no tty here. The rest
  // lie outside the tables.
  for (const Case c : {Case{0, 0}, Case{13, 5}, Case{-1, 5}, Case{14, 5}, Case{7, -1}, Case{7, 13}}) {
    Rdr00800::IdPortaOpt = c.port;
    Rdr00800::IdVelocOpt = c.speed;
    Rdr00800::detail::OpticalPoll poll;
    const auto took = Elapsed([&] { poll = Rdr00800::detail::PollOpticalReader(); });
    EXPECT_EQ(poll.frame, "") << c.port << "/" << c.speed;
    EXPECT_FALSE(poll.reachedDevice) << c.port << "/" << c.speed;
    EXPECT_LT(took, 500ms);
  }
}

TEST_F(SerialReadTest, LptPortGetsTheSameLineSetup) {
  Rdr00800::SetPortDevice("LPT1", reader_.DevicePath());
  Rdr00800::IdPortaOpt = 13;
  reader_.Send("code");
  const auto poll = Rdr00800::detail::PollOpticalReader();
  Rdr00800::SetPortDevice("LPT1", "");
  EXPECT_EQ(poll.frame, "code");
  EXPECT_TRUE(poll.reachedDevice);
}

TEST_F(SerialReadTest, SpeedTextThatIsNoNumberThrowsAfterTheClose) {
  UseOpticalReader();
  const int descriptors = OpenDescriptorCount();
  for (const char* speed : {"abc", "", "96OO", "+-9600", "99999999999"}) {
    Rdr00800::Velocidades[5] = speed;
    EXPECT_THROW(Rdr00800::GetOpticalReaderValue(), std::invalid_argument) << speed;
    EXPECT_FALSE(ExclusiveFlag(reader_.SubordinatePath())) << speed;
  }
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
  // The text is converted only once the port is open.
  Rdr00800::IdPortaOpt = 0;
  EXPECT_EQ(Rdr00800::GetOpticalReaderValue(), "");

  Rdr00800::IdPortaOpt = 7;
  Rdr00800::Velocidades[5] = "+9600";
  reader_.Send("ok");
  EXPECT_EQ(Rdr00800::GetOpticalReaderValue(), "ok");
}

// ---- Proximity settings ----

TEST_F(SerialReadTest, ProximityStoresTheRateWhateverTheOutcome) {
  EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("1", "COM3", 9600), "");
  EXPECT_EQ(Rdr00800::IdVelocProx.load(), 9600);
  EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("1", "", 4800), "");
  EXPECT_EQ(Rdr00800::IdVelocProx.load(), 4800);
  reader_.Send("frame");
  EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("3", kPort, -5), "");
  EXPECT_EQ(Rdr00800::IdVelocProx.load(), -5);
  EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("3", kPort, 250000), "frame");
  EXPECT_EQ(Rdr00800::IdVelocProx.load(), 250000);
}

// ---- The port after a read ----

TEST_F(SerialReadTest, SecondReaderIsRefusedWhileAReadHoldsThePort) {
  auto holding = std::async(std::launch::async, [this] { return Proximity(); });
  std::this_thread::sleep_for(200ms);
  std::string second = "unset";
  const auto took = Elapsed([&] { second = Proximity(); });
  EXPECT_EQ(second, "");
  EXPECT_LT(took, 500ms);
  reader_.Send("first");
  EXPECT_EQ(holding.get(), "first");
}

TEST_F(SerialReadTest, NoDescriptorLeaksOverAThousandMixedPolls) {
  const std::string frame(51, 'k');
  Proximity();  // lets one-time allocations (the timer's, the mapping's) happen first
  const int before = OpenDescriptorCount();
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
        InjectSystemCallFailure(SystemCall::Read, EIO);  // the read fails as on an unplugged reader
        reader_.Send("x");
        EXPECT_EQ(Proximity(), "");
        reader_.Flush();
        break;
      default:
        reader_.Send(frame);
        successes += Proximity() == frame;
    }
  }
  // Real hang-ups and time-outs, few since each costs time.
  for (int hangUp = 0; hangUp < 3; ++hangUp) {
    rdrtest::PtyReader unplugged;
    Rdr00800::SetPortDevice("COM9", unplugged.DevicePath());
    unplugged.Send("12");
    auto pending = std::async(std::launch::async, [] { return Rdr00800::GetProximidadeReaderValue("2", "COM9", 9600); });
    std::this_thread::sleep_for(30ms);
    unplugged.HangUp();
    EXPECT_EQ(pending.get(), "");
  }
  Rdr00800::SetPortDevice("COM9", "");
  for (int timeout = 0; timeout < 2; ++timeout) EXPECT_EQ(Proximity(), "");

  EXPECT_EQ(successes, 700);
  EXPECT_EQ(OpenDescriptorCount(), before);
  EXPECT_FALSE(ExclusiveFlag(reader_.SubordinatePath()));
}

// ---- C entries ----

TEST_F(SerialReadTest, CEntriesMapPortsAndReadFrames) {
  Rdr00800_SetPortDevice("COM5", reader_.DevicePath().c_str());
  reader_.Send("12345\r\n");
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
  reader_.Send("ab");
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
