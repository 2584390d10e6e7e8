#include "credential_text.h"

#include <optional>

#include "decode/credential_format.h"

namespace rdr {
namespace {

using Rdr00800::Credential;
using Rdr00800::ParityCheck;

struct NamedField {
  const char* name;
  std::optional<uint64_t> Credential::*value;
};
constexpr NamedField kFields[] = {{"facility", &Credential::facility},
                                  {"card", &Credential::card},
                                  {"issue", &Credential::issue},
                                  {"oem", &Credential::oem}};

// The built-in formats as the decoder describes them: rdr registers none of
// its own, so these are all the formats it decodes with.
const Rdr00800::detail::CredentialCatalogue& Builtin() {
  static const auto catalogue = Rdr00800::detail::CredentialCatalogue::Builtin();
  return catalogue;
}

}  // namespace

const char* ParityName(ParityCheck parity) {
  switch (parity) {
    case ParityCheck::Ok:
      return "ok";
    case ParityCheck::Failed:
      return "failed";
    case ParityCheck::None:
      break;
  }
  return "none";
}

std::string CredentialLine(const Credential& credential) {
  std::string line = credential.format;
  for (const NamedField& field : kFields) {
    if (const auto& value = credential.*field.value)
      line.append(" ").append(field.name).append("=") += std::to_string(*value);
  }
  return line + " parity=" + ParityName(credential.parity);
}

JsonLine CredentialJson(const Credential& credential) {
  JsonLine json;
  json.Text("format", credential.format).Number("bits", credential.bits);
  for (const NamedField& field : kFields) {
    if (const auto& value = credential.*field.value) {
      json.Number(field.name, static_cast<int64_t>(*value));
    } else {
      json.Null(field.name);
    }
  }
  return json.Text("parity", ParityName(credential.parity)).Text("raw", credential.raw);
}

std::vector<ParityBitCheck> ParityBitsOf(const Credential& credential) {
  const Rdr00800::detail::CredentialFormat* format = Builtin().Find(credential.format);
  if (!format || format->bits != credential.bits || credential.raw.empty()) return {};
  const uint64_t word = std::stoull(credential.raw, nullptr, 16);
  std::vector<ParityBitCheck> checks;
  for (const auto& parity : format->parity) {
    checks.push_back({parity.position, parity.odd, parity.cover, Rdr00800::detail::ParityHolds(parity, word)});
  }
  return checks;
}

std::string ParityBitLine(const ParityBitCheck& check) {
  return "bit " + std::to_string(check.position) + " (" + (check.odd ? "odd" : "even") + " over " + check.cover + ") " +
         (check.holds ? "holds" : "does not hold");
}

std::string ParityFailure(const Credential& credential) {
  for (const ParityBitCheck& check : ParityBitsOf(credential)) {
    if (!check.holds) return credential.format + ": parity " + ParityBitLine(check);
  }
  return credential.format + ": its " + (credential.format == "EM4100" ? "checksum" : "parity") + " fails";
}

std::vector<FormatEntry> CatalogueFormats() {
  std::vector<FormatEntry> entries;
  for (const std::string& name : Rdr00800::CredentialFormats()) {
    const Rdr00800::detail::CredentialFormat* format = Builtin().Find(name);
    if (!format) {
      entries.push_back({name, 0, {}});
      continue;
    }
    // The length has its own column.
    std::string definition = format->definition;
    if (definition.starts_with("bits=")) {
      const size_t end = definition.find(' ');
      definition.erase(0, end == std::string::npos ? definition.size() : end + 1);
    }
    entries.push_back({name, format->bits, definition});
  }
  return entries;
}

}  // namespace rdr
