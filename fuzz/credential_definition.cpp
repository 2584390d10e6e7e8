// The definition parser: a definition is refused with std::invalid_argument
// or gives a format whose packed words read back through the decoder.
#include <stdexcept>

#include "decode/credential_codec.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto builtin = Rdr00800::detail::CredentialCatalogue::Builtin();
  const auto [name, definition] = rdrfuzz::SplitInTwo(rdrfuzz::AsText(data, size));
  Rdr00800::detail::CredentialCatalogue catalogue;
  try {
    catalogue = builtin.WithSiteFormat(Rdr00800::detail::ParseCredentialFormat(name, definition));
  } catch (const std::invalid_argument&) {
    return 0;
  }
  const Rdr00800::detail::CredentialFormat& format = *catalogue.Find(name);
  rdrfuzz::Require(format.bits >= 1 && format.bits <= 64, "a length from 1 to 64");
  std::string word;
  try {
    word = Rdr00800::detail::EncodeCredential(catalogue, name, 0, 1, "hex", 0, 0);
  } catch (const std::invalid_argument&) {
    return 0;  // a fixed field that cannot hold 0, or a card field of one bit set otherwise
  }
  const auto decoded = Rdr00800::detail::DecodeCredentials(word, "hex:" + std::to_string(format.bits), name, catalogue);
  rdrfuzz::Require(decoded.size() == 1 && decoded[0].card == 1u, "a packed word reads back");
  rdrfuzz::Require(decoded[0].parity != Rdr00800::ParityCheck::Failed, "packed parity holds");
  return 0;
}
