#include "decode/credential_format.h"

#include <bit>
#include <charconv>
#include <stdexcept>
#include <utility>

#include "decode/ascii_case.h"

namespace Rdr00800::detail {
namespace {

// The built-in catalogue, in the definition language site formats use.
struct BuiltinFormat {
  const char* name;
  const char* definition;
};
constexpr BuiltinFormat kBuiltinFormats[] = {
    {"H10301", "bits=26 facility=2-9 card=10-25 odd=26:14-25 even=1:2-13"},
    {"ind26", "bits=26 facility=2-13 card=14-25 even=1:2-13 odd=26:14-25"},
    {"ind27", "bits=27 facility=1-13 card=14-27"},
    {"indasc27", "bits=27 facility=10,5,7,6,1,8,20,9,11,17,25,13,23 card=27,2,4,16,15,18,21,14,26,3,19,22,12,24"},
    {"Tecom27", "bits=27 facility=16,20,25,24,23,19,7,11,15,4,3 card=1-2,14,13,10,27,21,17-18,22,26,8-9,12,5-6"},
    {"2804W",
     "bits=28 facility=5-12 card=13-27 odd=3:5-6,8-9,11-12,14-15,17-18,20-21,23-24,26-27 even=1:2-14 odd=28:1-27"},
    {"ind29", "bits=29 facility=1-13 card=14-29"},
    {"ATSW30", "bits=30 facility=2-13 card=14-29 even=1:2-13 odd=30:14-29"},
    {"ADT31", "bits=31 facility=2-5 card=6-28"},
    {"HCP32", "bits=32 card=2-25"},
    {"Kastle", "bits=32 facility=8-15 issue=3-7 card=16-31 even=1:2-17 odd=32:15-31 fixed=2:1"},
    {"Kantech", "bits=32 facility=8-15 card=16-31"},
    {"WIE32", "bits=32 facility=5-16 card=17-32"},
    {"D10202", "bits=33 facility=2-8 card=9-32 even=1:2-17 odd=33:17-32"},
    {"H10306", "bits=34 facility=2-17 card=18-33 even=1:2-17 odd=34:18-33"},
    {"N10002", "bits=34 facility=2-17 card=18-33 even=1:2-17 odd=34:18-33"},
    {"Optus34", "bits=34 facility=23-33 card=2-17"},
    {"SMP34", "bits=34 facility=2-14 issue=15-17 card=18-33"},
    {"BQT34", "bits=34 facility=2-9 card=10-33 even=1:2-17 odd=34:18-33"},
    {"C1k35s",
     "bits=35 facility=3-14 card=15-34 even=2:3-4,6-7,9-10,12-13,15-16,18-19,21-22,24-25,27-28,30-31,33-34 "
     "odd=35:2-3,5-6,8-9,11-12,14-15,17-18,20-21,23-24,26-27,29-30,32-33 odd=1:2-35"},
    {"C15001", "bits=36 oem=2-11 facility=12-19 card=20-35 even=1:2-18 odd=36:19-35"},
    {"S12906", "bits=36 facility=2-9 issue=10-11 card=12-35 odd=1:2-18 odd=36:18-35"},
    {"S12906b",
     "bits=36 facility=2-9 card=12-35 odd=1:2-3,5-6,8-9,13-14,16-17,19-20,22-23,25-26,28-29,31-32,34-35 "
     "even=10:3-4,6-7,9,12,14-15,17-18,20-21,23-24,26-27,29-30,32-33,35-36 "
     "even=11:2,4-5,7-8,12-13,15-16,18-19,21-22,24-25,27-28,30-31,33-34,36 fixed=2-9:217"},
    {"Sie36",
     "bits=36 facility=2-19 card=20-35 odd=1:2,4-5,7-8,10-11,13-14,16-17,19-20,22-23,25-26,28-29,31-32,34-35 "
     "even=36:2-3,5-6,8-9,11-12,14-15,17-18,20-21,23-24,26-27,29-30,32-33,35"},
    {"H10302", "bits=37 card=2-36 even=1:2-19 odd=37:19-36"},
    {"H10304", "bits=37 facility=2-17 card=18-36 even=1:2-19 odd=37:19-36"},
    {"P10004", "bits=37 facility=2-14 card=15-32"},
    {"MDI37", "bits=37 facility=4-7 card=8-36 even=1:2-19 odd=37:19-36"},
    {"BQT38", "bits=38 facility=25-37 issue=21-24 card=2-20 even=1:2-19 odd=38:20-37"},
    {"ISCS", "bits=38 oem=2-5 facility=6-15 card=16-37 even=1:2-19 odd=38:20-37"},
    {"PW39", "bits=39 facility=2-18 card=19-38 even=1:2-19 odd=39:20-38"},
    {"P10001", "bits=40 facility=5-16 card=17-32 xor=33-40:1-32 fixed=1-4:15"},
    {"Casi40", "bits=40 card=2-39"},
    {"Verkada40", "bits=40 facility=2-11 card=12-39 even=1:2-11 even=40:12-39"},
    {"BC40", "bits=40 oem=1-7 facility=8-19 card=20-38 odd=40:20-38"},
    {"Defcon32",
     "bits=42 facility=2-17 issue=18-21 card=22-41 even=1:3,5,7,9,11,13,15,17,19,21 "
     "odd=42:22,24,26,28,30,32,34,36,38,40"},
    {"H800002", "bits=46 facility=2-15 card=16-45 even=1:2-45 odd=46:2-45"},
    {"C1k48s",
     "bits=48 facility=3-24 card=25-47 "
     "even=2:4-5,7-8,10-11,13-14,16-17,19-20,22-23,25-26,28-29,31-32,34-35,37-38,40-41,43-44,46-47 "
     "odd=48:3-4,6-7,9-10,12-13,15-16,18-19,21-22,24-25,27-28,30-31,33-34,36-37,39-40,42-43,45-46 odd=1:2-48"},
    {"Avig56", "bits=56 facility=2-21 card=22-55 even=1:2-28 odd=56:29-55"},
    {"IR56", "bits=56 facility=1-24 card=25-56"},
    // The card's 5 bytes b0..b4; the frame's checksum belongs to the em4100 layout.
    {"EM4100", "bits=40 oem=1-16 facility=17-24 card=25-40"},
};

constexpr std::size_t kMaxNameLength = 23;
constexpr int kMaxBits = 64;

constexpr std::array<std::string_view, kCredentialFieldCount> kFieldKeys = {"facility", "card", "issue", "oem"};

class DefinitionParser {
 public:
  DefinitionParser(std::string_view name, std::string_view definition) : name_(name), definition_(definition) {}

  CredentialFormat Parse() {
    CollectParts();
    if (bits_ == 0) Fail("bits=", "is missing");
    CredentialFormat format;
    format.name = std::string(name_);
    format.definition = std::string(definition_);
    format.bits = bits_;
    for (const Part& part : parts_) Apply(part, format);
    if (format.Field(CredentialField::Card).width == 0) Fail("card=", "is missing");
    return format;
  }

 private:
  struct Part {
    std::string_view text;  // the whole "key=value"
    std::string_view key;
    std::string_view value;
  };

  [[noreturn]] void Fail(std::string_view part, std::string_view problem) const {
    throw std::invalid_argument("credential format " + std::string(name_) + ": \"" + std::string(part) + "\" " +
                                std::string(problem));
  }

  void CollectParts() {
    std::size_t at = 0;
    while (at < definition_.size()) {
      if (definition_[at] == ' ' || definition_[at] == '\t') {
        ++at;
        continue;
      }
      std::size_t end = definition_.find_first_of(" \t", at);
      if (end == std::string_view::npos) end = definition_.size();
      const std::string_view text = definition_.substr(at, end - at);
      at = end;
      const std::size_t equals = text.find('=');
      if (equals == std::string_view::npos) Fail(text, "is not key=value");
      Part part{text, text.substr(0, equals), text.substr(equals + 1)};
      if (part.key == "bits") {
        if (bits_ != 0) Fail(text, "repeats bits=");
        const std::optional<uint64_t> bits = Number(part.value);
        if (!bits || *bits < 1 || *bits > kMaxBits) Fail(text, "needs a length from 1 to 64");
        bits_ = static_cast<int>(*bits);
      } else {
        parts_.push_back(part);
      }
    }
  }

  static std::optional<uint64_t> Number(std::string_view text) {
    uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
    return value;
  }

  // "3,5-7,9" as positions in the order written, each within the word.
  std::vector<int> Positions(const Part& part, std::string_view list) const {
    std::vector<int> positions;
    if (list.empty()) Fail(part.text, "has an empty position list");
    std::size_t at = 0;
    while (at <= list.size()) {
      std::size_t comma = list.find(',', at);
      if (comma == std::string_view::npos) comma = list.size();
      const std::string_view item = list.substr(at, comma - at);
      at = comma + 1;
      const std::size_t dash = item.find('-');
      const std::optional<uint64_t> first = Number(item.substr(0, dash));
      const std::optional<uint64_t> last = dash == std::string_view::npos ? first : Number(item.substr(dash + 1));
      if (!first || !last || *first > *last)
        Fail(part.text, "has a malformed position or range \"" + std::string(item) + "\"");
      if (*first < 1) Fail(part.text, "has position 0 (positions start at 1)");
      if (*last > static_cast<uint64_t>(bits_)) Fail(part.text, "runs past bits=" + std::to_string(bits_));
      for (uint64_t position = *first; position <= *last; ++position) positions.push_back(static_cast<int>(position));
    }
    return positions;
  }

  // The positions as a mask; a position listed twice is an overlap.
  uint64_t MaskOf(const Part& part, const std::vector<int>& positions) const {
    uint64_t mask = 0;
    for (const int position : positions) {
      const uint64_t bit = PositionMask(bits_, position);
      if (mask & bit) Fail(part.text, "lists position " + std::to_string(position) + " twice");
      mask |= bit;
    }
    return mask;
  }

  std::pair<std::string_view, std::string_view> SplitAtColon(const Part& part) const {
    const std::size_t colon = part.value.find(':');
    if (colon == std::string_view::npos) Fail(part.text, "needs P:LIST");
    return {part.value.substr(0, colon), part.value.substr(colon + 1)};
  }

  // Fields may not share positions with each other or with parity bits;
  // fixed bits may lie in a field (a field whose value never changes).
  void Claim(const Part& part, uint64_t mask, uint64_t forbidden, std::string_view what) const {
    if (mask & forbidden) Fail(part.text, "overlaps " + std::string(what));
  }

  void AddParity(const Part& part, CredentialFormat& format, bool odd, int position, uint64_t covered,
                 std::string cover) {
    const uint64_t bit = PositionMask(bits_, position);
    if (covered & bit) Fail(part.text, "covers its own parity bit");
    // Bits are computed in order, so one written earlier cannot cover this one.
    for (const ParityBit& earlier : format.parity) {
      if (earlier.covered & bit) {
        Fail(part.text, "is covered by parity bit " + std::to_string(earlier.position) + ", written before it");
      }
    }
    Claim(part, bit, fieldMask_ | fixedMask_ | parityMask_, "a field, a fixed bit or another parity bit");
    parityMask_ |= bit;
    format.parity.push_back(ParityBit{odd, position, bit, covered, std::move(cover)});
  }

  void Apply(const Part& part, CredentialFormat& format) {
    for (std::size_t field = 0; field < kCredentialFieldCount; ++field) {
      if (part.key != kFieldKeys[field]) continue;
      FieldBits& bits = format.fields[field];
      if (bits.width != 0) Fail(part.text, "repeats " + std::string(part.key) + "=");
      const std::vector<int> positions = Positions(part, part.value);
      const uint64_t mask = MaskOf(part, positions);
      Claim(part, mask, fieldMask_ | parityMask_, "another field or a parity bit");
      fieldMask_ |= mask;
      bits = RunsOf(positions);
      return;
    }
    if (part.key == "even" || part.key == "odd") {
      const auto [at, list] = SplitAtColon(part);
      const std::vector<int> position = Positions(part, at);
      if (position.size() != 1) Fail(part.text, "needs one parity position before \":\"");
      const std::vector<int> covered = Positions(part, list);
      AddParity(part, format, part.key == "odd", position.front(), MaskOf(part, covered), std::string(list));
    } else if (part.key == "xor") {
      const auto [checks, list] = SplitAtColon(part);
      const std::vector<int> checkPositions = Positions(part, checks);
      const std::vector<int> covered = Positions(part, list);
      MaskOf(part, checkPositions);
      MaskOf(part, covered);
      if (covered.size() % checkPositions.size() != 0) {
        Fail(part.text, "covers a count of positions that is not a multiple of its check bits");
      }
      // Check bit i is even over every position i, i+n, i+2n, ... of the list.
      for (std::size_t i = 0; i < checkPositions.size(); ++i) {
        uint64_t mask = 0;
        std::string cover;
        for (std::size_t j = i; j < covered.size(); j += checkPositions.size()) {
          mask |= PositionMask(bits_, covered[j]);
          if (!cover.empty()) cover += ',';
          cover += std::to_string(covered[j]);
        }
        AddParity(part, format, false, checkPositions[i], mask, std::move(cover));
      }
    } else if (part.key == "fixed") {
      const auto [list, valueText] = SplitAtColon(part);
      const std::vector<int> positions = Positions(part, list);
      const uint64_t mask = MaskOf(part, positions);
      const std::optional<uint64_t> value = Number(valueText);
      if (!value || (positions.size() < 64 && (*value >> positions.size()) != 0)) {
        Fail(part.text, "needs a value that fits its " + std::to_string(positions.size()) + " positions");
      }
      Claim(part, mask, fixedMask_ | parityMask_, "another fixed bit or a parity bit");
      fixedMask_ |= mask;
      format.fixedMask |= mask;
      for (std::size_t i = 0; i < positions.size(); ++i) {
        if ((*value >> (positions.size() - 1 - i)) & 1) format.fixedValue |= PositionMask(bits_, positions[i]);
      }
    } else {
      Fail(part.text, "has an unknown key (bits, facility, card, issue, oem, even, odd, xor, fixed)");
    }
  }

  FieldBits RunsOf(const std::vector<int>& positions) const {
    FieldBits field;
    field.width = static_cast<int>(positions.size());
    for (std::size_t i = 0; i < positions.size();) {
      std::size_t end = i + 1;
      while (end < positions.size() && positions[end] == positions[end - 1] + 1) ++end;
      const int width = static_cast<int>(end - i);
      field.runs.push_back(BitRun{bits_ - positions[end - 1], width});
      i = end;
    }
    return field;
  }

  std::string_view name_;
  std::string_view definition_;
  int bits_ = 0;
  std::vector<Part> parts_;
  uint64_t fieldMask_ = 0;
  uint64_t parityMask_ = 0;
  uint64_t fixedMask_ = 0;
};

bool ValidName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  for (const char c : name) {
    const bool letterOrDigit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letterOrDigit && c != '_' && c != '-' && c != '.') return false;
  }
  return true;
}

}  // namespace

CredentialFormat ParseCredentialFormat(std::string_view name, std::string_view definition) {
  return DefinitionParser(name, definition).Parse();
}

uint64_t ReadField(const FieldBits& field, uint64_t word) noexcept {
  uint64_t value = 0;
  for (const BitRun& run : field.runs) {
    const uint64_t bits = (word >> run.shift) & LowBits(run.width);
    value = run.width >= 64 ? bits : (value << run.width) | bits;
  }
  return value;
}

bool ParityHolds(const ParityBit& parity, uint64_t word) noexcept {
  const int ones = std::popcount(word & (parity.covered | parity.bit));
  return (ones & 1) == (parity.odd ? 1 : 0);
}

const ParityBit* FirstFailedParity(const CredentialFormat& format, uint64_t word) noexcept {
  for (const ParityBit& parity : format.parity) {
    if (!ParityHolds(parity, word)) return &parity;
  }
  return nullptr;
}

uint64_t PackCredential(const CredentialFormat& format, const std::array<uint64_t, kCredentialFieldCount>& values) {
  uint64_t word = 0;
  uint64_t fieldBits = 0;
  for (std::size_t field = 0; field < kCredentialFieldCount; ++field) {
    const FieldBits& bits = format.fields[field];
    uint64_t value = values[field];
    if (bits.width == 0) continue;
    if (bits.width < 64 && (value >> bits.width) != 0) {
      throw std::invalid_argument(std::string(kFieldKeys[field]) + " " + std::to_string(value) + " is wider than " +
                                  format.name + "'s " + std::to_string(bits.width) + "-bit field");
    }
    // The last run holds the least significant bits.
    for (auto run = bits.runs.rbegin(); run != bits.runs.rend(); ++run) {
      word |= (value & LowBits(run->width)) << run->shift;
      fieldBits |= LowBits(run->width) << run->shift;
      value = run->width >= 64 ? 0 : value >> run->width;
    }
  }
  if (((word ^ format.fixedValue) & format.fixedMask & fieldBits) != 0) {
    throw std::invalid_argument("the values contradict " + format.name + "'s fixed bits");
  }
  word |= format.fixedValue;
  for (const ParityBit& parity : format.parity) {
    word &= ~parity.bit;
    if (!ParityHolds(parity, word)) word |= parity.bit;
  }
  return word;
}

CredentialCatalogue CredentialCatalogue::Builtin() {
  CredentialCatalogue catalogue;
  for (const BuiltinFormat& builtin : kBuiltinFormats) {
    catalogue.formats_.push_back(
        std::make_shared<const CredentialFormat>(ParseCredentialFormat(builtin.name, builtin.definition)));
  }
  catalogue.builtinCount_ = catalogue.formats_.size();
  return catalogue;
}

CredentialCatalogue CredentialCatalogue::WithSiteFormat(CredentialFormat format) const {
  if (!ValidName(format.name)) {
    throw std::invalid_argument("credential format name \"" + format.name +
                                "\" must be 1 to 23 letters, digits, \"_\", \"-\" or \".\"");
  }
  if (EqualsIgnoringAsciiCase(format.name, "auto")) {
    throw std::invalid_argument("credential format name \"auto\" is reserved: it means every format");
  }
  CredentialCatalogue copy = *this;
  auto shared = std::make_shared<const CredentialFormat>(std::move(format));
  for (std::size_t i = 0; i < copy.formats_.size(); ++i) {
    if (!EqualsIgnoringAsciiCase(copy.formats_[i]->name, shared->name)) continue;
    if (i < builtinCount_) {
      throw std::invalid_argument("credential format name \"" + shared->name + "\" is a built-in format's");
    }
    copy.formats_[i] = std::move(shared);
    return copy;
  }
  copy.formats_.push_back(std::move(shared));
  return copy;
}

const CredentialFormat* CredentialCatalogue::Find(std::string_view name) const noexcept {
  for (const auto& format : formats_) {
    if (EqualsIgnoringAsciiCase(format->name, name)) return format.get();
  }
  return nullptr;
}

}  // namespace Rdr00800::detail
