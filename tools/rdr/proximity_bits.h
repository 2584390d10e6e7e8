// The bit layout of hexadecimal proximity frames, for `rdr decode --explain`
// and for the simulator, which builds frames from a facility code and a card
// number. Pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rdr {

// 1-based positions of the fields in a frame's bit text.
inline constexpr size_t kFacilityFirstBit = 10;
inline constexpr size_t kFacilityBits = 8;
inline constexpr size_t kCardFirstBit = 18;
inline constexpr size_t kCardBits = 16;
// The 26-bit card format puts its even parity just before the facility and
// its odd parity just after the card number.
inline constexpr size_t kEvenParityBit = 9;
inline constexpr size_t kOddParityBit = 34;

// The bit text the decoder cuts its fields from: four bits per hexadecimal
// digit up to the first CR; other characters add none.
std::string FrameBitText(std::string_view frame);

// Bits first..first+count-1 (1-based) of `bits`, shorter or empty past the end.
std::string BitField(const std::string& bits, size_t first, size_t count);

struct ParityReport {
  bool available = false;  // the bit text reaches bit 34
  bool evenHolds = false;  // bit 9 makes bits 9..21 hold an even count of ones
  bool oddHolds = false;   // bit 34 makes bits 22..34 hold an odd count of ones
};
ParityReport CheckParity(const std::string& bits);

// A 10-digit frame and CR LF, as a reader of the 26-bit format sends the
// card: facility 0..255, card 0..65535, both parity bits set right.
std::string ProximityFrameFor(uint32_t facility, uint32_t card);

}  // namespace rdr
