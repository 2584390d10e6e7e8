#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "decode/credential_codec.h"
#include "decode/credential_format.h"

namespace {

using Rdr00800::Credential;
using Rdr00800::ParityCheck;
using Rdr00800::detail::CredentialCatalogue;
using Rdr00800::detail::CredentialField;
using Rdr00800::detail::CredentialForm;
using Rdr00800::detail::CredentialFormat;
using Rdr00800::detail::DecodeCredentials;
using Rdr00800::detail::EncodeCredential;
using Rdr00800::detail::PositionMask;

const CredentialCatalogue& Builtin() {
  static const CredentialCatalogue catalogue = CredentialCatalogue::Builtin();
  return catalogue;
}

std::vector<Credential> Decode(std::string_view frame, std::string_view layout, std::string_view format = "") {
  return DecodeCredentials(frame, layout, format, Builtin());
}

// A value that uses the field's whole width, with both ends set.
uint64_t SampleValue(const CredentialFormat& format, CredentialField field) {
  const int width = format.Field(field).width;
  if (width == 0) return 0;
  if (format.name == "S12906b" && field == CredentialField::Facility) return 217;  // fixed by the format
  return (0xA5C3'96E1'5A3C'1E69ULL & Rdr00800::detail::LowBits(width)) | (uint64_t{1} << (width - 1)) | 1;
}

std::string WordHex(uint64_t word, int bits) {
  std::string text;
  for (int shift = ((bits + 3) / 4 - 1) * 4; shift >= 0; shift -= 4) text += "0123456789ABCDEF"[(word >> shift) & 0xF];
  return text;
}

TEST(CredentialCatalogue, EveryFormatRoundTripsAndRefusesFlippedParityFixedBitsAndOtherLengths) {
  ASSERT_EQ(Builtin().Size(), 41u);
  for (std::size_t index = 0; index < Builtin().Size(); ++index) {
    const CredentialFormat& format = Builtin()[index];
    SCOPED_TRACE(format.name);
    const uint64_t facility = SampleValue(format, CredentialField::Facility);
    const uint64_t card = SampleValue(format, CredentialField::Card);
    const uint64_t issue = SampleValue(format, CredentialField::Issue);
    const uint64_t oem = SampleValue(format, CredentialField::Oem);
    std::vector<std::string> layouts = {"hex", "hex:" + std::to_string(format.bits)};
    if (format.bits <= 32) layouts.push_back("hex40");
    if (format.bits <= 37) layouts.push_back("packed");
    if (format.bits == 40) layouts.push_back("em4100");
    for (const std::string& layout : layouts) {
      SCOPED_TRACE(layout);
      const std::vector<Credential> decoded =
          Decode(EncodeCredential(Builtin(), format.name, facility, card, layout, issue, oem), layout, format.name);
      ASSERT_EQ(decoded.size(), 1u);
      const Credential& credential = decoded.front();
      EXPECT_EQ(credential.bits, format.bits);
      const bool checked = !format.parity.empty() || layout == "em4100";
      EXPECT_EQ(credential.parity, checked ? ParityCheck::Ok : ParityCheck::None);
      const auto expect = [&](CredentialField field, const std::optional<uint64_t>& value, uint64_t sample) {
        EXPECT_EQ(value, format.Field(field).width ? std::optional<uint64_t>(sample) : std::nullopt);
      };
      expect(CredentialField::Facility, credential.facility, facility);
      expect(CredentialField::Card, credential.card, card);
      expect(CredentialField::Issue, credential.issue, issue);
      expect(CredentialField::Oem, credential.oem, oem);
    }
    const std::vector<Credential> good =
        Decode(EncodeCredential(Builtin(), format.name, facility, card, "hex", issue, oem), "hex", format.name);
    ASSERT_EQ(good.size(), 1u);
    const uint64_t word = std::stoull(good.front().raw, nullptr, 16);
    const std::string lengthLayout = "hex:" + std::to_string(format.bits);
    for (const auto& parity : format.parity) {
      const std::vector<Credential> flipped =
          Decode(WordHex(word ^ parity.bit, format.bits), lengthLayout, format.name);
      ASSERT_EQ(flipped.size(), 1u) << "parity bit " << parity.position;
      EXPECT_EQ(flipped.front().parity, ParityCheck::Failed) << "parity bit " << parity.position;
    }
    if (format.fixedMask != 0) {
      const uint64_t lowestFixed = format.fixedMask & (~format.fixedMask + 1);
      EXPECT_TRUE(Decode(WordHex(word ^ lowestFixed, format.bits), lengthLayout, format.name).empty());
    }
    // One bit longer or shorter: the same digits read as another length.
    EXPECT_TRUE(Decode(good.front().raw, "hex:" + std::to_string(format.bits + 1), format.name).empty());
    if (format.bits > 1) {
      EXPECT_TRUE(Decode(WordHex(word & Rdr00800::detail::LowBits(format.bits - 1), format.bits - 1),
                         "hex:" + std::to_string(format.bits - 1), format.name)
                      .empty());
    }
  }
}

struct PublishedDecode {
  const char* source;
  const char* frame;
  const char* layout;
  const char* format;
  uint64_t facility;
  uint64_t card;
  ParityCheck parity;
};

// Cards read by people and posted with the numbers printed on them or set
// when they were made.
TEST(CredentialCatalogue, PublishedDecodesOfRealCards) {
  const PublishedDecode cases[] = {
      {"github.com/Proxmark/proxmark3/issues/326", "2006ec1258", "packed", "H10301", 118, 2348, ParityCheck::Ok},
      {"github.com/monkeyboard/Wiegand-Protocol-Library-for-Arduino/issues/33 (bits 10001010100111110000100100)",
       "22A7C24", "hex:26", "H10301", 21, 15890, ParityCheck::Ok},
      {"github.com/jkramarz/TheTick/pull/20", "4A72010B3", "hex", "C1k35s", 1337, 2137, ParityCheck::Ok},
      {"github.com/flipperdevices/flipperzero-firmware/issues/1029 (valuprox card)", "584a2b940", "packed", "H10304",
       22602, 89248, ParityCheck::Ok},
      {"github.com/flipperdevices/flipperzero-firmware/issues/1029 (same card)", "584a2b940", "packed", "MDI37", 6,
       38886560, ParityCheck::Ok},
      {"github.com/flipperdevices/flipperzero-firmware/issues/1029 (same card)", "584a2b940", "packed", "P10004", 2825,
       71114, ParityCheck::None},
      {"github.com/RfidResearchGroup/proxmark3/pull/1559", "61ee3085d", "packed", "P10004", 3133, 202818,
       ParityCheck::None},
      {"github.com/RfidResearchGroup/proxmark3/pull/1559", "ea63eaaa4", "packed", "P10004", 7500, 128341,
       ParityCheck::None},
      {"github.com/RfidResearchGroup/proxmark3/pull/1559", "ea648bad4", "packed", "P10004", 7500, 148950,
       ParityCheck::None},
      {"card-formats reference: 3C00CE754C prints 206,30028",
       "\x02"
       "3C00CE754CCB\x03",
       "em4100", "EM4100", 206, 30028, ParityCheck::Ok},
      {"card-formats reference: 0700673158 prints 103,12632", "0700673158", "em4100", "EM4100", 103, 12632,
       ParityCheck::None},
  };
  for (const PublishedDecode& published : cases) {
    SCOPED_TRACE(published.source);
    const std::vector<Credential> decoded = Decode(published.frame, published.layout, published.format);
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded.front().facility, published.facility);
    EXPECT_EQ(decoded.front().card, published.card);
    EXPECT_EQ(decoded.front().parity, published.parity);
  }
  // The H10302 reading of the same valuprox card.
  EXPECT_EQ(Decode("584a2b940", "packed", "H10302").front().card, 11850046624u);
}

// A site's 36-bit format, worked out from a bag of cards whose numbers are
// printed on them (github.com/iceman1001/proxmark3/pull/285).
TEST(CredentialCatalogue, PublishedSiteFormatReadsItsCards) {
  const CredentialCatalogue site = Builtin().WithSiteFormat(Rdr00800::detail::ParseCredentialFormat(
      "Site36", "bits=36 facility=2-17 card=18-33 oem=34-35 odd=1:2-18 even=36:19-35"));
  const struct {
    std::string bits;  // as posted, groups apart
    uint64_t card;
  } cards[] = {{"1 1011000000010000 0101101110100000 00 1", 23456},
               {"1 1011000000010000 0101101111000001 00 0", 23489},
               {"1 1011000000010000 0101101111100111 00 1", 23527},
               {"1 1011000000010000 0110000100000100 00 0", 24836}};
  for (const auto& printed : cards) {
    std::string bits = printed.bits;
    std::erase(bits, ' ');
    const std::vector<Credential> decoded =
        DecodeCredentials(WordHex(std::stoull(bits, nullptr, 2), 36), "hex:36", "Site36", site);
    ASSERT_EQ(decoded.size(), 1u) << printed.bits;
    EXPECT_EQ(decoded.front().facility, 45072u);
    EXPECT_EQ(decoded.front().card, printed.card);
    EXPECT_EQ(decoded.front().oem, 0u);
    EXPECT_EQ(decoded.front().parity, ParityCheck::Ok) << printed.bits;
  }
}

struct Em4100Case {
  std::string frame;
  const char* dez10;
  const char* threePlusFive;
  const char* dez8;
  const char* dez13;
};

TEST(CredentialLayouts, Em4100FramesGiveTheirPrintedNumbers) {
  const Em4100Case cases[] = {
      {"\x02"
       "0102B0A5FD"
       "EB\x03",
       "0045131261", "176,42493", "11576829", "0004340098557"},
      {"\x02"
       "0102b0a5fd"
       "eb\r\n\x03",
       "0045131261", "176,42493", "11576829", "0004340098557"},
      {"\x02"
       "3C00CE754C"
       "CB\x03",
       "0013530444", "206,30028", nullptr, nullptr},
      {"3C00CE754CCB\r\n", "0013530444", "206,30028", nullptr, nullptr},
      {"\x02"
       "61008EB2F9"
       "\r\n\x03",
       nullptr, nullptr, nullptr, nullptr},
      {"\x02"
       "61008EB2F9"
       "A4\x03",
       "0009351929", nullptr, nullptr, nullptr},
      {"61008EB2F9", "0009351929", nullptr, nullptr, nullptr},
      {"\x02"
       "0700673158"
       "09\r\n\x03",
       "0006762840", "103,12632", nullptr, nullptr},
  };
  for (const Em4100Case& example : cases) {
    SCOPED_TRACE(example.frame);
    const std::vector<Credential> decoded = Decode(example.frame, "em4100");
    if (!example.dez10) {
      EXPECT_TRUE(decoded.empty());  // STX/ETX frames carry the checksum
      continue;
    }
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded.front().format, "EM4100");
    EXPECT_EQ(decoded.front().bits, 40);
    const auto form = [&](std::string_view name) {
      return CredentialForm(decoded.front(), name, Builtin().Find("EM4100"));
    };
    EXPECT_EQ(form("dez10"), example.dez10);
    const std::pair<const char*, const char*> others[] = {
        {"fc,cn", example.threePlusFive}, {"dez8", example.dez8}, {"dez13", example.dez13}};
    for (const auto& [name, printed] : others) {
      if (printed) {
        EXPECT_EQ(form(name), printed) << name;
      }
    }
  }
  // One checksum digit off, in each framing: no card.
  for (const char* frame : {"\x02"
                            "3C00CE754CCA\x03",
                            "\x02"
                            "3C00CE754CCA\r\n\x03",
                            "3C00CE754CCA"}) {
    EXPECT_TRUE(Decode(frame, "em4100").empty()) << frame;
  }
}

struct FrameCase {
  std::string frame;
  const char* layout;
  const char* format;
  std::vector<std::string> formats;  // what decodes it, best first
};

TEST(CredentialLayouts, FramesAsReadersSendThemAndTheOrderOfMatches) {
  const FrameCase cases[] = {
      // The proximity frame: parity 0 fails, but a pinned format still answers.
      {"003DD93700", "hex40", "", {"H10301"}},
      {"00bdd93740\r\n", "", "", {"H10301"}},
      // Bits after the word must be 0; the frame is 10 digits exactly.
      {"00BDD93741", "hex40", "", {}},
      {"00BDD9374", "hex40", "", {}},
      {"00BDD93740", "hex40", "H10306", {}},
      // Ok before None before Failed; shorter words first.
      {"2F623AE", "hex", "", {"H10301", "ind26", "ind27", "indasc27", "Tecom27", "2804W"}},
      {"2006F623AE", "packed", "", {"H10301", "ind26"}},
      {"2F623AE", "hex:26", "auto", {"H10301", "ind26"}},
      {"2F623AE", "hex:25", "auto", {}},
      // Not hexadecimal, empty, beyond 64 bits, a bad header.
      {"2F62 3AE", "hex", "", {}},
      {"", "hex", "", {}},
      {"\r\n", "hex40", "", {}},
      {"1FFFFFFFFFFFFFFFF", "hex", "", {}},
      {"C006F623AE", "packed", "", {}},
      {"\x02"
       "0102B0A5FDEB",
       "em4100",
       "",
       {}},
  };
  for (const FrameCase& example : cases) {
    SCOPED_TRACE(example.frame + " " + example.layout);
    std::vector<std::string> formats;
    for (const Credential& credential : Decode(example.frame, example.layout, example.format)) {
      formats.push_back(credential.format);
    }
    EXPECT_EQ(formats, example.formats);
  }
  const Credential pinned = Decode("003DD93700", "hex40").front();
  EXPECT_EQ(pinned.parity, ParityCheck::Failed);
  EXPECT_EQ(CredentialForm(pinned, "code", Builtin().Find("H10301")), "12345678");
  EXPECT_EQ(CredentialForm(pinned, "fc,cn", nullptr), "123,45678");
  EXPECT_EQ(CredentialForm(pinned, "hex", nullptr), "0F764DC");
  EXPECT_THROW(CredentialForm(pinned, "octal", nullptr), std::invalid_argument);
  EXPECT_THROW(Decode("003DD93700", "hex41"), std::invalid_argument);
  EXPECT_THROW(Decode("003DD93700", "hex40", "H99999"), std::invalid_argument);
}

struct Refusal {
  const char* name;
  const char* definition;
  const char* says;
};

TEST(CredentialDefinitions, MalformedOverlappingOrTakenDefinitionsAreRefusedSayingWhy) {
  const Refusal cases[] = {
      {"S", "facility=2-9 card=10-25", "\"bits=\" is missing"},
      {"S", "bits=65 card=1-8", "1 to 64"},
      {"S", "bits=26 bits=26 card=1-8", "repeats bits="},
      {"S", "bits=26 facility=2-9", "\"card=\" is missing"},
      {"S", "bits=26 card=10-27", "\"card=10-27\" runs past bits=26"},
      {"S", "bits=26 card=0-8", "positions start at 1"},
      {"S", "bits=26 card=9-2", "malformed"},
      {"S", "bits=26 card=2,,3", "malformed"},
      {"S", "bits=26 card=2-x", "malformed"},
      {"S", "bits=26 card=2-9 facility=9-12", "\"facility=9-12\" overlaps another field"},
      {"S", "bits=26 card=2-9,4", "lists position 4 twice"},
      {"S", "bits=26 card=2-9 card=10-12", "repeats card="},
      {"S", "bits=26 card=2-9 even=5:10-12", "overlaps a field"},
      {"S", "bits=26 card=2-9 even=1:1-12", "covers its own parity bit"},
      {"S", "bits=26 card=2-9 even=1:2-5 odd=1:6-9", "another parity bit"},
      {"S", "bits=26 card=2-9 odd=1-2:3", "one parity position"},
      {"S", "bits=26 card=2-9 odd=1:2-10 even=10:2-9", "covered by parity bit 1, written before it"},
      {"S", "bits=26 card=2-9 odd=1", "P:LIST"},
      {"S", "bits=26 card=2-9 xor=10-12:1-8", "not a multiple"},
      {"S", "bits=26 card=2-9 fixed=10-11:4", "fits its 2 positions"},
      {"S", "bits=26 card=2-9 odd=10:2-9 fixed=10:1", "overlaps another fixed bit or a parity bit"},
      {"S", "bits=26 card=2-9 parity=1:2-9", "unknown key"},
      {"S", "bits=26 card=2-9 26", "not key=value"},
      {"H10301", "bits=26 card=2-9", "built-in"},
      {"h10301", "bits=26 card=2-9", "built-in"},
      {"auto", "bits=26 card=2-9", "reserved"},
      {"", "bits=26 card=2-9", "1 to 23"},
      {"a name", "bits=26 card=2-9", "1 to 23"},
      {"ABCDEFGHIJKLMNOPQRSTUVWX", "bits=26 card=2-9", "1 to 23"},
  };
  for (const Refusal& refusal : cases) {
    SCOPED_TRACE(std::string(refusal.name) + ": " + refusal.definition);
    try {
      Builtin().WithSiteFormat(Rdr00800::detail::ParseCredentialFormat(refusal.name, refusal.definition));
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find(refusal.says), std::string::npos) << error.what();
    }
  }
}

TEST(CredentialDefinitions, SiteFormatsJoinAutoAndReplaceTheirOwnName) {
  CredentialCatalogue site = Builtin().WithSiteFormat(
      Rdr00800::detail::ParseCredentialFormat("Site36", "bits=36 facility=2-13 card=14-35 even=1:2-18 odd=36:19-35"));
  const std::string frame = EncodeCredential(site, "Site36", 4000, 12345, "hex", 0, 0);
  std::vector<Credential> decoded = DecodeCredentials(frame, "hex:36", "auto", site);
  const auto site36 =
      std::find_if(decoded.begin(), decoded.end(), [](const Credential& c) { return c.format == "Site36"; });
  ASSERT_NE(site36, decoded.end());
  EXPECT_EQ(site36->facility, 4000u);
  EXPECT_EQ(site36->parity, ParityCheck::Ok);
  site = site.WithSiteFormat(Rdr00800::detail::ParseCredentialFormat("Site36", "bits=36 card=1-36"));
  EXPECT_EQ(site.Size(), Builtin().Size() + 1);
  EXPECT_EQ(DecodeCredentials(frame, "hex:36", "site36", site).front().parity, ParityCheck::None);
  EXPECT_THROW(EncodeCredential(site, "H10301", 256, 1, "hex", 0, 0), std::invalid_argument);
  EXPECT_THROW(EncodeCredential(site, "S12906b", 216, 1, "hex", 0, 0), std::invalid_argument);
  EXPECT_THROW(EncodeCredential(site, "H10304", 1, 1, "hex40", 0, 0), std::invalid_argument);
}

}  // namespace
