#include "decode/proximity_frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rdr00800/Rdr00800.h"

namespace {

using Rdr00800::detail::DecodeProximityFrame;
using ::testing::_;
using ::testing::Return;

// Carries facility 123 in bits 10..17 and card 45678 in bits 18..33.
const std::string kSampleFrame = "003DD93700";

// Lays out a 10-character frame as a reader sends it into `frame`: the
// unused leading and trailing bits carry a pattern so a decoder that reads
// them shows up.
void EncodeFrame(uint32_t facility, uint32_t card, char (&frame)[10]) {
  const uint64_t bits = (uint64_t{1} << 39) | (uint64_t{facility} << 23) | (uint64_t{card} << 7) | 0x55;
  for (int i = 0; i < 10; ++i) frame[i] = "0123456789ABCDEF"[(bits >> (36 - 4 * i)) & 0xF];
}

// Leaves the fields as BinToDec gives them, so the decoder's own cost is
// all the round trip over every code pays.
class PassThroughFramework : public Rdr00800::HostFramework {
 public:
  bool EmptyString(const std::string&) override { return false; }
  std::string Ajusta(const std::string& text, int32_t) override { return text; }
};

class DecodeWithDefaults : public ::testing::Test {
 protected:
  std::string Decode(const std::string& readerType, const std::string& frame) {
    return DecodeProximityFrame(readerType, frame, framework_);
  }
  Rdr00800::HostFramework framework_;
};

struct FrameCase {
  const char* readerType;
  std::string frame;
  std::string expected;
};

TEST_F(DecodeWithDefaults, FramesAsReadersSendThem) {
  const FrameCase cases[] = {
      // Only "3", compared as a whole, means plain text; "1" has no facility.
      {"2", kSampleFrame + "\r\n", "12345678"},
      {"", kSampleFrame, "12345678"},
      {"33", kSampleFrame, "12345678"},
      {"1", kSampleFrame + "\r\n", "00045678"},
      // Fields are fitted to three and five digits, with the unused bits set.
      {"2", "8000000055", "00000000"},
      {"2", "8003801555", "00700042"},
      {"2", "807FFFFFD5", "25565535"},
      // Plain text loses CR LF 0x12 or CR LF, nothing else.
      {"3", kSampleFrame + "\r\n", kSampleFrame},
      {"3", "12345\r\n\x12", "12345"},
      {"3", "12345\r", "12345\r"},
      {"3", "12345\n", "12345\n"},
      {"3", "12345\x12", "12345\x12"},
      {"3", "12345\r\n\r\n", "12345\r\n"},
      {"3", "ab c", "ab c"},
      // Nothing read, whatever the type.
      {"1", "", ""},
      {"2", "\r\n", ""},
      {"3", "\r\n", ""},
      {"3", "\r\n\x12", ""},
      {"2", "   ", ""},
      // Shorter than the card field: 32 bits, or nothing before the CR.
      {"2", "003DD937", ""},
      {"1", "003DD937", ""},
      {"2", "\r003DD93700", ""},
      {"2", "003DD\r93700", ""},
      {"2", "xyz", ""},
      // Small letters add no bits: only eight digits remain.
      {"2", "003dd93700\r\n", ""},
      // Nine digits are enough: 36 bits.
      {"2", "003DD9370", "12345678"},
      // Characters that are not digits add no bits; the rest moves up.
      {"2", "0-03DD 9370g0", "12345678"},
      {"2", "0a03DD93700", "12345678"},
      {"2", "003dD93700A", "12309952"},
      // Everything after the first CR is ignored.
      {"2", kSampleFrame + "\rFFFF", "12345678"},
  };
  for (const FrameCase& frameCase : cases) {
    EXPECT_EQ(Decode(frameCase.readerType, frameCase.frame), frameCase.expected)
        << "type " << frameCase.readerType << " frame " << ::testing::PrintToString(frameCase.frame);
  }
}

TEST(DecodeRoundTrip, EveryFacilityAndCardComesBack) {
  std::vector<std::string> decimal(65536);
  for (uint32_t value = 0; value < decimal.size(); ++value) decimal[value] = std::to_string(value);

  PassThroughFramework framework;
  char frame[10];
  for (uint32_t facility = 0; facility <= 255; ++facility) {
    for (uint32_t card = 0; card <= 65535; ++card) {
      EncodeFrame(facility, card, frame);
      const std::string code = DecodeProximityFrame("2", std::string(frame, sizeof frame), framework);
      const std::string& facilityText = decimal[facility];
      const std::string& cardText = decimal[card];
      if (code.size() != facilityText.size() + cardText.size() ||
          code.compare(0, facilityText.size(), facilityText) != 0 ||
          code.compare(facilityText.size(), cardText.size(), cardText) != 0) {
        FAIL() << "facility " << facility << " card " << card << " gave " << code;
      }
    }
  }
}

class MockHostFramework : public Rdr00800::HostFramework {
 public:
  MOCK_METHOD(bool, EmptyString, (const std::string& text), (override));
  MOCK_METHOD(std::string, Ajusta, (const std::string& text, int32_t width), (override));
};

TEST(DecodeWithHostFramework, AsksTheFrameworkAboutEmptinessAndFieldWidths) {
  MockHostFramework framework;
  EXPECT_CALL(framework, EmptyString(kSampleFrame + "\r\n")).WillOnce(Return(false));
  EXPECT_CALL(framework, Ajusta("123", 3)).WillOnce(Return("F123"));
  EXPECT_CALL(framework, Ajusta("45678", 5)).WillOnce(Return("C45678"));
  EXPECT_EQ(DecodeProximityFrame("2", kSampleFrame + "\r\n", framework), "F123C45678");
}

TEST(DecodeWithHostFramework, FrameworkDecidesWhatIsEmpty) {
  MockHostFramework framework;
  EXPECT_CALL(framework, EmptyString(_)).WillRepeatedly(Return(true));
  EXPECT_CALL(framework, Ajusta(_, _)).Times(0);
  EXPECT_EQ(DecodeProximityFrame("2", kSampleFrame, framework), "");
  EXPECT_EQ(DecodeProximityFrame("3", "12345", framework), "");
}

// The public decoder goes through whatever framework the host installed.
TEST(DecodeWithHostFramework, PublicDecoderUsesTheInstalledFramework) {
  MockHostFramework framework;
  EXPECT_CALL(framework, EmptyString(_)).WillOnce(Return(false));
  EXPECT_CALL(framework, Ajusta(_, _)).WillRepeatedly(Return("*"));
  Rdr00800::SetHostFramework(&framework);
  const std::string code = Rdr00800::DecodeProximityFrame("2", kSampleFrame);
  Rdr00800::SetHostFramework(nullptr);
  EXPECT_EQ(code, "**");
  EXPECT_EQ(Rdr00800::DecodeProximityFrame("2", kSampleFrame), "12345678");
}

}  // namespace
