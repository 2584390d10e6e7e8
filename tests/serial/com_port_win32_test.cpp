// The one-shot read on Windows against a reader behind COM1: the time-outs
// the port is given, the line it is set to, port naming and the exclusive
// hold.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "rdr00800/Rdr00800.h"
#include "serial/device.h"
#include "support/com_reader_win32.h"

namespace {

using namespace std::chrono_literals;
using Rdr00800::detail::DevicePathForName;
using Rdr00800::detail::SerialDevice;
using rdrtest::ComReader;

template <class Body>
std::chrono::milliseconds Elapsed(Body&& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

class ComPortRead : public ::testing::Test {
 protected:
  std::string Read(int32_t baud = 9600) { return Rdr00800::GetProximidadeReaderValue("2", ComReader::kLibraryPort, baud); }

  ComReader reader_;
};

TEST_F(ComPortRead, FullFrameReturnsAtOnceAndTheRestWaitsForTheNextRead) {
  reader_.Send(std::string(51, 'A') + "tail");
  std::string frame;
  const auto took = Elapsed([&] { frame = Read(); });
  EXPECT_EQ(frame, std::string(51, 'A'));
  EXPECT_LT(took, 900ms);
  EXPECT_EQ(Read(), "tail");
}

TEST_F(ComPortRead, ShortFrameReturnsWhenTheSecondIsOver) {
  reader_.Send("123456789012");
  std::string frame;
  const auto took = Elapsed([&] { frame = Read(); });
  EXPECT_EQ(frame, "123456789012");
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 3000ms);
}

TEST_F(ComPortRead, FrameEndsAtTheFirstNulAndSilenceIsTheEmptyText) {
  reader_.Send(std::string("12\0" "45", 5));
  EXPECT_EQ(Read(), "12");
  EXPECT_EQ(Read(), "");
}

TEST_F(ComPortRead, LineIsLeftAtTheRateWithEightBitsNoParityOneStop) {
  reader_.Send("x");
  EXPECT_EQ(Read(19200), "x");
  EXPECT_EQ(Rdr00800::IdVelocProx.load(), 19200);
  auto device = SerialDevice::Open(std::string(ComReader::kLibraryPort) + ":");
  ASSERT_TRUE(device);
  const auto line = device->GetLineSettings();
  ASSERT_TRUE(line);
  EXPECT_EQ(line->baud, 19200);
  EXPECT_EQ(line->dataBits, 8);
  EXPECT_EQ(line->parity, Rdr00800::detail::Parity::None);
  EXPECT_EQ(line->stopBits, 1);
}

TEST_F(ComPortRead, PortHeldByAnotherOpenIsRefused) {
  if (rdrtest::RunningUnderWine()) GTEST_SKIP() << "Wine does not enforce exclusive opens of serial ports";
  auto holder = SerialDevice::Open(std::string(ComReader::kLibraryPort) + ":");
  ASSERT_TRUE(holder);
  EXPECT_FALSE(SerialDevice::Open(std::string(ComReader::kLibraryPort) + ":"));
  reader_.Send("held");
  EXPECT_EQ(Read(), "");
}

TEST(ComPortNames, DeviceNamesForPortTexts) {
  EXPECT_EQ(DevicePathForName("COM1:"), "COM1:");
  EXPECT_EQ(DevicePathForName("LPT1:"), "LPT1:");
  // Beyond COM9 only the device namespace reaches a port.
  EXPECT_EQ(DevicePathForName("com12:"), "\\\\.\\com12");
  EXPECT_EQ(DevicePathForName("COM012:"), "COM012:");
  EXPECT_EQ(DevicePathForName(":"), "");
  Rdr00800::SetPortDevice("COM3", "\\\\.\\COM15");
  EXPECT_EQ(DevicePathForName("com3:"), "\\\\.\\COM15");
  Rdr00800::SetPortDevice("COM3", "");
}

TEST(ComPortNames, PortsThatNameNoDeviceFailAtOnce) {
  for (const char* port : {"", "COM99", "LPT1"}) {
    std::string frame = "unset";
    const auto took = Elapsed([&] { frame = Rdr00800::GetProximidadeReaderValue("2", port, 9600); });
    EXPECT_EQ(frame, "") << port;
    EXPECT_LT(took, 900ms) << port;
  }
}

}  // namespace
