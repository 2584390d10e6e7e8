#include "decode/credential_codec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <stdexcept>

#include "decode/ascii_case.h"
#include "decode/digit_conversions.h"

namespace Rdr00800::detail {
namespace {

enum class LayoutKind { Hex40, Hex, Packed, Em4100 };

struct Layout {
  LayoutKind kind = LayoutKind::Hex40;
  int fixedBits = 0;  // hex:N
};

// The proximity frame: 40 bits, the word from bit 9, so at most 32 bits long.
constexpr int kHex40Digits = 10;
constexpr int kHex40WordBits = 32;
// The packed form: header at value bit 37 (0-based), sentinel just above the word.
constexpr int kPackedHeaderBit = 37;
constexpr int kPackedPlainBits = 37;
constexpr int kPackedDigits = 10;
constexpr int kEm4100Bits = 40;
constexpr char kStx = '\x02';
constexpr char kEtx = '\x03';

[[noreturn]] void UnknownLayout(std::string_view text) {
  throw std::invalid_argument("unknown credential layout \"" + std::string(text) +
                              "\" (hex40, hex, hex:N with N from 1 to 64, packed, em4100)");
}

Layout ParseLayout(std::string_view text) {
  if (text.empty() || EqualsIgnoringAsciiCase(text, "hex40")) return {LayoutKind::Hex40};
  if (EqualsIgnoringAsciiCase(text, "hex")) return {LayoutKind::Hex};
  if (EqualsIgnoringAsciiCase(text, "packed")) return {LayoutKind::Packed};
  if (EqualsIgnoringAsciiCase(text, "em4100")) return {LayoutKind::Em4100};
  if (StartsWithIgnoringAsciiCase(text, "hex:")) {
    const std::string_view digits = text.substr(4);
    int bits = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), bits);
    if (!digits.empty() && error == std::errc() && end == digits.data() + digits.size() && bits >= 1 && bits <= 64) {
      return {LayoutKind::Hex, bits};
    }
  }
  UnknownLayout(text);
}

std::string_view DefaultFormat(const Layout& layout) {
  switch (layout.kind) {
    case LayoutKind::Hex40:
      return "H10301";
    case LayoutKind::Em4100:
      return "EM4100";
    case LayoutKind::Hex:
    case LayoutKind::Packed:
      break;
  }
  return "auto";
}

// A run of hexadecimal digits and nothing else; std::nullopt for any other
// character, no digit, or a value beyond 64 bits.
struct HexText {
  uint64_t value = 0;
  int digits = 0;
};

std::optional<HexText> ReadHex(std::string_view text) noexcept {
  if (text.empty()) return std::nullopt;
  HexText hex;
  hex.digits = static_cast<int>(std::min<std::size_t>(text.size(), 64));
  for (const char c : text) {
    const int digit = HexDigitValue(AsciiUpperChar(c));
    if (digit < 0 || (hex.value >> 60) != 0) return std::nullopt;
    hex.value = (hex.value << 4) | static_cast<uint64_t>(digit);
  }
  return hex;
}

// What a frame gives before any format is tried: a value and the word
// lengths it can hold.
struct FrameWord {
  uint64_t value = 0;
  int minBits = 0;
  int maxBits = 0;
  int alignedTo = 0;  // hex40: the word is left-aligned in these low bits, the rest 0
  ParityCheck checksum = ParityCheck::None;

  std::optional<uint64_t> WordOf(int bits) const noexcept {
    if (bits < minBits || bits > maxBits) return std::nullopt;
    if (alignedTo == 0) return value;
    const int tail = alignedTo - bits;
    if ((value & LowBits(tail)) != 0) return std::nullopt;
    return (value >> tail) & LowBits(bits);
  }
};

int SignificantBits(uint64_t value) noexcept { return 64 - std::countl_zero(value); }

std::optional<FrameWord> ReadEm4100(std::string_view frame) noexcept {
  if (!frame.empty() && frame.front() == kStx) {
    if (frame.size() < 2 || frame.back() != kEtx) return std::nullopt;
    frame = frame.substr(1, frame.size() - 2);
    if (frame.ends_with("\r\n")) frame.remove_suffix(2);
    if (frame.size() != 12) return std::nullopt;
  }
  if (frame.size() != 10 && frame.size() != 12) return std::nullopt;
  const std::optional<HexText> id = ReadHex(frame.substr(0, 10));
  if (!id) return std::nullopt;
  FrameWord word{id->value, kEm4100Bits, kEm4100Bits};
  if (frame.size() == 12) {
    const std::optional<HexText> checksum = ReadHex(frame.substr(10));
    if (!checksum) return std::nullopt;
    uint64_t sum = 0;
    for (int byte = 0; byte < 5; ++byte) sum ^= (id->value >> (8 * byte)) & 0xFF;
    if (sum != checksum->value) return std::nullopt;
    word.checksum = ParityCheck::Ok;
  }
  return word;
}

std::optional<FrameWord> ReadFrame(std::string_view frame, const Layout& layout) noexcept {
  frame = WithoutLineEnds(frame);
  if (layout.kind == LayoutKind::Em4100) return ReadEm4100(frame);
  const std::optional<HexText> hex = ReadHex(frame);
  if (!hex) return std::nullopt;
  switch (layout.kind) {
    case LayoutKind::Hex40:
      if (hex->digits != kHex40Digits) return std::nullopt;
      return FrameWord{hex->value, 1, kHex40WordBits, kHex40WordBits};
    case LayoutKind::Hex: {
      const int significant = std::max(SignificantBits(hex->value), 1);
      if (layout.fixedBits != 0) {
        if (significant > layout.fixedBits) return std::nullopt;
        return FrameWord{hex->value, layout.fixedBits, layout.fixedBits};
      }
      return FrameWord{hex->value, significant, std::min(4 * hex->digits, 64)};
    }
    case LayoutKind::Packed: {
      if (SignificantBits(hex->value) > kPackedHeaderBit + 1) return std::nullopt;
      if (((hex->value >> kPackedHeaderBit) & 1) == 0) return FrameWord{hex->value, kPackedPlainBits, kPackedPlainBits};
      const uint64_t below = hex->value & LowBits(kPackedHeaderBit);
      const int bits = SignificantBits(below) - 1;  // the sentinel's position
      if (bits < 1) return std::nullopt;
      return FrameWord{below & LowBits(bits), bits, bits};
    }
    case LayoutKind::Em4100:
      break;
  }
  return std::nullopt;
}

struct Match {
  const CredentialFormat* format = nullptr;
  uint64_t word = 0;
  ParityCheck parity = ParityCheck::None;
  uint64_t order = 0;  // the result's order: verdict, then length, then catalogue position
};

int Rank(ParityCheck parity) noexcept {
  switch (parity) {
    case ParityCheck::Ok:
      return 0;
    case ParityCheck::None:
      return 1;
    case ParityCheck::Failed:
      break;
  }
  return 2;
}

std::optional<Match> MatchFormat(const CredentialFormat& format, std::size_t index, const FrameWord& frame) noexcept {
  const std::optional<uint64_t> word = frame.WordOf(format.bits);
  if (!word || !FixedBitsHold(format, *word)) return std::nullopt;
  ParityCheck parity = frame.checksum;
  if (!format.parity.empty()) parity = FirstFailedParity(format, *word) ? ParityCheck::Failed : ParityCheck::Ok;
  const uint64_t order =
      (static_cast<uint64_t>(Rank(parity)) << 40) | (static_cast<uint64_t>(format.bits) << 32) | index;
  return Match{&format, *word, parity, order};
}

void WriteUpperHex(uint64_t value, int digits, std::string& text) {
  text.assign(static_cast<std::size_t>(digits), '0');
  for (auto at = text.rbegin(); at != text.rend() && value != 0; ++at, value >>= 4) {
    *at = "0123456789ABCDEF"[value & 0xF];
  }
}

std::string UpperHex(uint64_t value, int digits) {
  std::string text;
  WriteUpperHex(value, digits, text);
  return text;
}

int HexDigitsFor(int bits) noexcept { return (bits + 3) / 4; }

void FillCredential(const Match& match, Credential& credential) {
  const CredentialFormat& format = *match.format;
  credential.format = format.name;
  credential.bits = format.bits;
  std::optional<uint64_t>* const targets[] = {&credential.facility, &credential.card, &credential.issue,
                                              &credential.oem};
  for (std::size_t field = 0; field < kCredentialFieldCount; ++field) {
    if (format.fields[field].width != 0) *targets[field] = ReadField(format.fields[field], match.word);
  }
  credential.parity = match.parity;
  WriteUpperHex(match.word, HexDigitsFor(format.bits), credential.raw);
}

const CredentialFormat& FormatNamed(const CredentialCatalogue& catalogue, std::string_view name) {
  const CredentialFormat* format = catalogue.Find(name);
  if (!format) throw std::invalid_argument("unknown credential format \"" + std::string(name) + "\"");
  return *format;
}

[[noreturn]] void LayoutCannotHold(std::string_view layout, const CredentialFormat& format, std::string_view what) {
  throw std::invalid_argument("layout " + std::string(layout) + " cannot hold " + format.name + "'s " +
                              std::to_string(format.bits) + "-bit word (" + std::string(what) + ")");
}

std::string PaddedDecimal(uint64_t value, std::size_t width) {
  std::string digits = std::to_string(value);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return digits;
}

std::size_t DecimalWidth(int fieldWidth) { return std::to_string(LowBits(fieldWidth)).size(); }

}  // namespace

std::vector<Credential> DecodeCredentials(std::string_view frame, std::string_view layoutText,
                                          std::string_view formatText, const CredentialCatalogue& catalogue) {
  const Layout layout = ParseLayout(layoutText);
  const std::string_view name = formatText.empty() ? DefaultFormat(layout) : formatText;
  const CredentialFormat* pinned = EqualsIgnoringAsciiCase(name, "auto") ? nullptr : &FormatNamed(catalogue, name);
  const std::optional<FrameWord> word = ReadFrame(frame, layout);
  std::vector<Credential> credentials;
  if (!word) return credentials;
  if (pinned) {
    if (const std::optional<Match> match = MatchFormat(*pinned, 0, *word)) {
      FillCredential(*match, credentials.emplace_back());
    }
    return credentials;
  }
  std::vector<Match> matches;
  matches.reserve(catalogue.Size());
  for (std::size_t index = 0; index < catalogue.Size(); ++index) {
    if (const std::optional<Match> match = MatchFormat(catalogue[index], index, *word)) matches.push_back(*match);
  }
  std::sort(matches.begin(), matches.end(), [](const Match& a, const Match& b) { return a.order < b.order; });
  credentials.resize(matches.size());
  for (std::size_t i = 0; i < matches.size(); ++i) FillCredential(matches[i], credentials[i]);
  return credentials;
}

std::string EncodeCredential(const CredentialCatalogue& catalogue, std::string_view formatName, uint64_t facility,
                             uint64_t card, std::string_view layoutText, uint64_t issue, uint64_t oem) {
  const Layout layout = ParseLayout(layoutText);
  const CredentialFormat& format = FormatNamed(catalogue, formatName);
  const uint64_t word = PackCredential(format, {facility, card, issue, oem});
  switch (layout.kind) {
    case LayoutKind::Hex40:
      if (format.bits > kHex40WordBits) LayoutCannotHold(layoutText, format, "at most 32 bits");
      return UpperHex(word << (kHex40WordBits - format.bits), kHex40Digits);
    case LayoutKind::Hex:
      if (layout.fixedBits != 0 && layout.fixedBits != format.bits)
        LayoutCannotHold(layoutText, format, "other length");
      return UpperHex(word, HexDigitsFor(format.bits));
    case LayoutKind::Packed:
      if (format.bits > kPackedPlainBits) LayoutCannotHold(layoutText, format, "at most 37 bits");
      if (format.bits == kPackedPlainBits) return UpperHex(word, kPackedDigits);
      return UpperHex((uint64_t{1} << kPackedHeaderBit) | (uint64_t{1} << format.bits) | word, kPackedDigits);
    case LayoutKind::Em4100:
      break;
  }
  if (format.bits != kEm4100Bits) LayoutCannotHold(layoutText, format, "exactly 40 bits");
  uint64_t checksum = 0;
  for (int byte = 0; byte < 5; ++byte) checksum ^= (word >> (8 * byte)) & 0xFF;
  return kStx + UpperHex(word, 10) + UpperHex(checksum, 2) + kEtx;
}

std::string CredentialForm(const Credential& credential, std::string_view form, const CredentialFormat* format) {
  const uint64_t card = credential.card.value_or(0);
  if (form == "code") {
    if (!format) throw std::invalid_argument("unknown credential format \"" + credential.format + "\"");
    const FieldBits& facilityBits = format->Field(CredentialField::Facility);
    std::string code = facilityBits.width && credential.facility
                           ? PaddedDecimal(*credential.facility, DecimalWidth(facilityBits.width))
                           : std::string();
    return code + PaddedDecimal(card, DecimalWidth(format->Field(CredentialField::Card).width));
  }
  if (form == "fc,cn") {
    return credential.facility ? std::to_string(*credential.facility) + "," + std::to_string(card)
                               : std::to_string(card);
  }
  if (form == "hex") return credential.raw;
  struct DecimalForm {
    std::string_view name;
    int bits;
    std::size_t digits;
  };
  static constexpr DecimalForm kDecimalForms[] = {{"dez10", 32, 10}, {"dez8", 24, 8}, {"dez13", 64, 13}};
  for (const DecimalForm& decimal : kDecimalForms) {
    if (form != decimal.name) continue;
    const std::optional<HexText> word = ReadHex(credential.raw);
    if (!word) throw std::invalid_argument("credential raw \"" + credential.raw + "\" is not hexadecimal");
    return PaddedDecimal(word->value & LowBits(decimal.bits), decimal.digits);
  }
  throw std::invalid_argument("unknown credential form \"" + std::string(form) +
                              "\" (code, fc,cn, dez10, dez8, dez13, hex)");
}

std::string_view WithoutLineEnds(std::string_view frame) noexcept {
  while (!frame.empty() && (frame.back() == '\r' || frame.back() == '\n')) frame.remove_suffix(1);
  return frame;
}

std::optional<uint64_t> ProximityFrameWord(std::string_view frame, int bits) noexcept {
  if (bits < 1 || bits > kHex40WordBits) return std::nullopt;
  constexpr int kLeadingBits = 8;
  const int digitsNeeded = (kLeadingBits + bits + 3) / 4;
  uint64_t value = 0;
  int digits = 0;
  for (std::size_t i = 0; i < frame.size() && digits < digitsNeeded; ++i) {
    if (frame[i] == '\r') break;
    const int digit = HexDigitValue(frame[i]);
    if (digit < 0) continue;  // as the proximity decoder: adds no bits
    value = (value << 4) | static_cast<uint64_t>(digit);
    ++digits;
  }
  if (digits < digitsNeeded) return std::nullopt;
  return (value >> (4 * digitsNeeded - kLeadingBits - bits)) & LowBits(bits);
}

}  // namespace Rdr00800::detail
