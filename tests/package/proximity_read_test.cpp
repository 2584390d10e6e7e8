// LeitorProximidade end to end, with a simulated reader.
#include <gtest/gtest.h>

#include <string>

#include "rdr00800/Rdr00800.h"
#include "support/simulated_reader.h"

namespace {

class ProximityReader : public ::testing::Test {
 protected:
  void SetUp() override { Rdr00800::SetPortDevice(kPort, reader_->DevicePath()); }
  void TearDown() override { Rdr00800::SetPortDevice(kPort, ""); }

  std::string ReadAfterSending(const std::string& readerType, const std::string& frame) {
    reader_->SendWholeRead(frame);
    return Rdr00800::LeitorProximidade(readerType, kPort, 9600);
  }

  static constexpr const char* kPort = "COM7";
  std::unique_ptr<rdrtest::SimulatedReader> reader_ = rdrtest::NewSimulatedReader();
};

TEST_F(ProximityReader, DecodesEachReaderType) {
  EXPECT_EQ(ReadAfterSending("2", "003DD93700\r\n"), "12345678");
  EXPECT_EQ(ReadAfterSending("1", "003DD93700\r\n"), "00045678");
  EXPECT_EQ(ReadAfterSending("5", "003DD93700\r\n"), "12345678");
  EXPECT_EQ(ReadAfterSending("3", "003DD93700\r\n"), "003DD93700");
  EXPECT_EQ(ReadAfterSending("3", std::string("12345\r\n\x12", 8)), "12345");
}

TEST_F(ProximityReader, ShortOrEmptyFramesAreNothingRead) {
  EXPECT_EQ(ReadAfterSending("2", "003DD9\r\n"), "");
  EXPECT_EQ(ReadAfterSending("3", "\r\n"), "");
}

TEST_F(ProximityReader, SilentReaderIsNothingReadAndKeepsTheSpeed) {
  EXPECT_EQ(Rdr00800::LeitorProximidade("2", kPort, 19200), "");
  EXPECT_EQ(Rdr00800::IdVelocProx.load(), 19200);
}

struct ParityCase {
  bool check;
  const char* readerType;
  const char* frame;
  const char* code;
  Rdr00800::ReadStatus status;
};

TEST_F(ProximityReader, ParityCheckRefusesOnlyFramesWhoseH10301ParityFails) {
  const ParityCase cases[] = {
      // Both parity bits 0, as many readers send them: refused only when asked.
      {false, "2", "003DD93700\r\n", "12345678", Rdr00800::ReadStatus::Ok},
      {true, "2", "003DD93700\r\n", "", Rdr00800::ReadStatus::BadFrame},
      {true, "1", "003DD93700\r\n", "", Rdr00800::ReadStatus::BadFrame},
      {true, "2", "00BDD93740\r\n", "12345678", Rdr00800::ReadStatus::Ok},
      {true, "3", "003DD93700\r\n", "003DD93700", Rdr00800::ReadStatus::Ok},
      {true, "2", "003DD9\r\n", "", Rdr00800::ReadStatus::Ok},
  };
  for (const ParityCase& example : cases) {
    SCOPED_TRACE(std::string(example.frame) + (example.check ? " checked" : ""));
    Rdr00800::CheckProximityParity = example.check;
    EXPECT_EQ(ReadAfterSending(example.readerType, example.frame), example.code);
    EXPECT_EQ(Rdr00800::LastReadStatus(), example.status);
    if (example.status == Rdr00800::ReadStatus::BadFrame) {
      EXPECT_NE(
          Rdr00800::LastReadMessage().find("H10301 parity bit 26 (odd over bits 14-25) fails in frame 003DD93700"),
          std::string::npos)
          << Rdr00800::LastReadMessage();
    }
  }
  Rdr00800::CheckProximityParity = false;
}

TEST(ProximityReaderMissing, PortWithoutDeviceIsNothingRead) {
  Rdr00800::SetPortDevice("COM9", "/nonexistent/rdr00800-reader");
  EXPECT_EQ(Rdr00800::LeitorProximidade("2", "COM9", 9600), "");
  Rdr00800::SetPortDevice("COM9", "");
}

}  // namespace
