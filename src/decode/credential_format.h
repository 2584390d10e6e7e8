// Card formats as data: a definition text ("bits=26 facility=2-9 card=10-25
// odd=26:14-25 even=1:2-13") parsed into a description that one packer and
// one checker read. The built-in catalogue is written in the same language,
// so built-in and site formats take the same path. Pure: no I/O, no state
// outside the values; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Rdr00800::detail {

enum class CredentialField : uint8_t { Facility, Card, Issue, Oem };
inline constexpr std::size_t kCredentialFieldCount = 4;

// Consecutive positions of a field, as value bits [shift, shift + width).
struct BitRun {
  int shift = 0;
  int width = 0;
};

// A field's positions, most significant first, grouped into runs so that a
// field is read with one shift and mask per run.
struct FieldBits {
  std::vector<BitRun> runs;
  int width = 0;  // 0: the format has no such field
};

// One parity bit: at `position`, even or odd over `covered`.
struct ParityBit {
  bool odd = false;
  int position = 0;
  uint64_t bit = 0;      // `position` as a value mask
  uint64_t covered = 0;  // the covered positions as a value mask
  std::string cover;     // the covered positions as written, for messages
};

struct CredentialFormat {
  std::string name;
  std::string definition;
  int bits = 0;
  std::array<FieldBits, kCredentialFieldCount> fields;
  std::vector<ParityBit> parity;  // computed and checked in this order
  uint64_t fixedMask = 0;
  uint64_t fixedValue = 0;

  const FieldBits& Field(CredentialField field) const { return fields[static_cast<std::size_t>(field)]; }
};

// The value mask of position `position` (1 = most significant) in a word of
// `bits` bits.
constexpr uint64_t PositionMask(int bits, int position) noexcept { return uint64_t{1} << (bits - position); }
// The low `width` bits set (width 0..64).
constexpr uint64_t LowBits(int width) noexcept { return width >= 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1; }

// Parses a definition; std::invalid_argument naming `name` and the part that
// is wrong (malformed, past bits, overlapping, no card field).
CredentialFormat ParseCredentialFormat(std::string_view name, std::string_view definition);

// A field's value in `word`.
uint64_t ReadField(const FieldBits& field, uint64_t word) noexcept;
// The first parity bit of `format` that fails in `word`, or nullptr.
const ParityBit* FirstFailedParity(const CredentialFormat& format, uint64_t word) noexcept;
// Whether `word` holds the format's fixed bits.
inline bool FixedBitsHold(const CredentialFormat& format, uint64_t word) noexcept {
  return (word & format.fixedMask) == format.fixedValue;
}
// The word for these field values (indexed by CredentialField) with its
// parity bits computed; std::invalid_argument when a value is wider than its
// field or contradicts a fixed bit.
uint64_t PackCredential(const CredentialFormat& format, const std::array<uint64_t, kCredentialFieldCount>& values);
// The bits of a parity bit's check that hold in `word`.
bool ParityHolds(const ParityBit& parity, uint64_t word) noexcept;

// An immutable list of formats, cheap to copy (the formats are shared), so a
// registry can publish a new catalogue while readers keep an older one.
class CredentialCatalogue {
 public:
  // The built-in formats, in their documented order.
  static CredentialCatalogue Builtin();

  // A copy with `format` added at the end, or put in place of the site format
  // of the same name; std::invalid_argument when the name is a built-in
  // format's or "auto", or is not a valid name.
  CredentialCatalogue WithSiteFormat(CredentialFormat format) const;

  // The format of that name (ASCII letter case ignored), or nullptr.
  const CredentialFormat* Find(std::string_view name) const noexcept;
  std::size_t Size() const noexcept { return formats_.size(); }
  const CredentialFormat& operator[](std::size_t index) const noexcept { return *formats_[index]; }

 private:
  std::vector<std::shared_ptr<const CredentialFormat>> formats_;
  std::size_t builtinCount_ = 0;
};

}  // namespace Rdr00800::detail
