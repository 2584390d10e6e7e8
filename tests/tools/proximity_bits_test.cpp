#include "proximity_bits.h"

#include <gtest/gtest.h>

#include "rdr00800/Rdr00800.h"

namespace rdr {
namespace {

TEST(ProximityBitsTest, FieldsSitWhereTheDecoderCutsThem) {
  const std::string bits = FrameBitText("003DD93700\r\nFF");
  ASSERT_EQ(bits.size(), 40u) << "bits after the CR must not count";
  EXPECT_EQ(BitField(bits, kFacilityFirstBit, kFacilityBits), "01111011");
  EXPECT_EQ(BitField(bits, kCardFirstBit, kCardBits), "1011001001101110");
  EXPECT_EQ(BitField(bits, 39, 5), "00");
  EXPECT_EQ(BitField(bits, 41, 1), "");
  EXPECT_EQ(FrameBitText("0a1"), "00000001") << "small letters add no bits, as in the decoder";
}

TEST(ProximityBitsTest, BuiltFramesDecodeToTheirCardWithParityHolding) {
  Rdr00800::Pkg_Rdr00800::PackageLoad();
  for (const auto& [facility, card] : {std::pair{123u, 45678u}, {0u, 0u}, {255u, 65535u}, {1u, 1u}}) {
    const std::string frame = ProximityFrameFor(facility, card);
    EXPECT_EQ(frame.size(), 12u);
    EXPECT_EQ(frame.substr(10), "\r\n");
    const std::string code = Rdr00800::DecodeProximityFrame("2", frame);
    char expected[16];
    std::snprintf(expected, sizeof expected, "%03u%05u", facility, card);
    EXPECT_EQ(code, expected) << frame;
    const ParityReport parity = CheckParity(FrameBitText(frame));
    EXPECT_TRUE(parity.available && parity.evenHolds && parity.oddHolds) << frame;
  }
  Rdr00800::Pkg_Rdr00800::PackageUnload();
}

TEST(ProximityBitsTest, ParityReportsMismatchAndShortFrames) {
  const ParityReport sample = CheckParity(FrameBitText("003DD93700"));
  EXPECT_TRUE(sample.available);
  EXPECT_FALSE(sample.evenHolds);
  EXPECT_FALSE(sample.oddHolds);
  EXPECT_FALSE(CheckParity(FrameBitText("003DD937")).available) << "32 bits do not reach bit 34";
}

}  // namespace
}  // namespace rdr
