// The credential decoder over every layout, default and "auto" formats: it
// never throws for a frame, orders its matches, and each match's fields pack
// back into a word that reads the same.
#include <tuple>

#include "decode/credential_codec.h"
#include "fuzz_input.h"

namespace {

using Rdr00800::Credential;
using Rdr00800::ParityCheck;

int Rank(ParityCheck parity) { return parity == ParityCheck::Ok ? 0 : parity == ParityCheck::None ? 1 : 2; }

void CheckMatches(const std::vector<Credential>& matches, const Rdr00800::detail::CredentialCatalogue& catalogue) {
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const Credential& match = matches[i];
    const Rdr00800::detail::CredentialFormat* format = catalogue.Find(match.format);
    rdrfuzz::Require(format && format->bits == match.bits, "a match names its catalogue format");
    rdrfuzz::Require(match.raw.size() == static_cast<std::size_t>((match.bits + 3) / 4), "raw right-aligned");
    if (i > 0) {
      const Credential& before = matches[i - 1];
      rdrfuzz::Require(std::tuple(Rank(before.parity), before.bits) <= std::tuple(Rank(match.parity), match.bits),
                       "best first");
    }
    const std::string again =
        Rdr00800::detail::EncodeCredential(catalogue, match.format, match.facility.value_or(0), match.card.value_or(0),
                                           "hex", match.issue.value_or(0), match.oem.value_or(0));
    const std::vector<Credential> reread =
        Rdr00800::detail::DecodeCredentials(again, "hex:" + std::to_string(match.bits), match.format, catalogue);
    rdrfuzz::Require(reread.size() == 1 && reread[0].facility == match.facility && reread[0].card == match.card &&
                         reread[0].issue == match.issue && reread[0].oem == match.oem,
                     "fields pack back");
    rdrfuzz::Require(reread[0].parity != ParityCheck::Failed, "packed parity holds");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto catalogue = Rdr00800::detail::CredentialCatalogue::Builtin();
  if (size == 0) return 0;
  // The first byte picks hex:N's length; the rest is the frame.
  const std::string fixedLength = "hex:" + std::to_string(1 + data[0] % 64);
  const std::string_view frame = rdrfuzz::AsText(data + 1, size - 1);
  for (const char* layout : {"hex40", "hex", fixedLength.c_str(), "packed", "em4100"}) {
    for (const char* format : {"", "auto"}) {
      CheckMatches(Rdr00800::detail::DecodeCredentials(frame, layout, format, catalogue), catalogue);
    }
  }
  return 0;
}
