#include "proximity_bits.h"

#include <algorithm>
#include <bitset>

#include "rdr00800/Rdr00800.h"

namespace rdr {
namespace {

size_t OnesIn(const std::string& bits, size_t first, size_t last) {
  const auto from = bits.begin() + static_cast<std::ptrdiff_t>(first - 1);
  return static_cast<size_t>(std::count(from, bits.begin() + static_cast<std::ptrdiff_t>(last), '1'));
}

}  // namespace

std::string FrameBitText(std::string_view frame) {
  std::string bits;
  for (const char c : frame) {
    if (c == '\r') break;
    bits += Rdr00800::HexaToBin(std::string(1, c));
  }
  return bits;
}

std::string BitField(const std::string& bits, size_t first, size_t count) {
  if (first == 0 || first > bits.size()) return {};
  return bits.substr(first - 1, count);
}

ParityReport CheckParity(const std::string& bits) {
  ParityReport report;
  if (bits.size() < kOddParityBit) return report;
  report.available = true;
  report.evenHolds = OnesIn(bits, kEvenParityBit, 21) % 2 == 0;
  report.oddHolds = OnesIn(bits, 22, kOddParityBit) % 2 == 1;
  return report;
}

std::string ProximityFrameFor(uint32_t facility, uint32_t card) {
  const std::string data = std::bitset<kFacilityBits>(facility).to_string() + std::bitset<kCardBits>(card).to_string();
  const size_t firstHalfOnes = static_cast<size_t>(std::count(data.begin(), data.begin() + 12, '1'));
  const size_t secondHalfOnes = static_cast<size_t>(std::count(data.begin() + 12, data.end(), '1'));
  const std::string bits = std::string(kEvenParityBit - 1, '0') + (firstHalfOnes % 2 ? "1" : "0") + data +
                           (secondHalfOnes % 2 ? "0" : "1") + std::string(6, '0');
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string frame;
  for (size_t at = 0; at < bits.size(); at += 4) {
    frame += kDigits[std::bitset<4>(bits.substr(at, 4)).to_ulong()];
  }
  return frame + "\r\n";
}

}  // namespace rdr
