// How rdr shows decoded credentials: one line or one JSON object per
// credential, the parity bits a credential was checked by, and the
// catalogue's formats. The words and numbers all come from the library's
// decoder; nothing here decodes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "output.h"
#include "rdr00800/Rdr00800.h"

namespace rdr {

// "ok", "failed" or "none", as Python names them.
const char* ParityName(Rdr00800::ParityCheck parity);

// "H10301 facility=123 card=45678 parity=ok": only the fields the format has.
std::string CredentialLine(const Rdr00800::Credential& credential);

// {"format", "bits", "facility", "card", "issue", "oem", "parity", "raw"}:
// the Python attribute names, an absent field null.
JsonLine CredentialJson(const Rdr00800::Credential& credential);

// One parity bit of a credential's format, checked against its word.
struct ParityBitCheck {
  int position = 0;   // in the word, 1 the most significant
  bool odd = false;   // odd parity, else even
  std::string cover;  // the positions it covers, as the format writes them
  bool holds = false;
};
// Every parity bit of the credential's format in the order they are checked;
// none for a format without parity bits, or one the catalogue does not hold.
std::vector<ParityBitCheck> ParityBitsOf(const Rdr00800::Credential& credential);

// "bit 1 (even over 2-13) holds".
std::string ParityBitLine(const ParityBitCheck& check);

// Why a credential is not delivered: the parity bit that fails ("H10301:
// parity bit 26 (odd over 14-25) does not hold"), or the checksum.
std::string ParityFailure(const Rdr00800::Credential& credential);

// A catalogue format: its name, length and definition ("facility=2-9
// card=10-25 ..."); the definition is empty for a format rdr cannot see
// into.
struct FormatEntry {
  std::string name;
  int bits = 0;
  std::string definition;
};
std::vector<FormatEntry> CatalogueFormats();

}  // namespace rdr
