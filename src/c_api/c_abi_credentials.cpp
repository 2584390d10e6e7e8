// C entries of the credential decoder: plain structs and texts, so that a
// Pascal host can declare them with records of fixed arrays and Int64s.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "c_api/c_abi_support.h"
#include "rdr00800/Rdr00800.h"
#include "rdr00800/rdr00800.h"

namespace {

using Rdr00800::Credential;
using Rdr00800::ParityCheck;
using Rdr00800::detail::TextArg;

constexpr long long kAbsent = -1;

template <std::size_t N>
void CopyInto(char (&target)[N], const std::string& text) {
  const std::size_t length = std::min(text.size(), N - 1);
  std::memcpy(target, text.data(), length);
  std::memset(target + length, 0, N - length);
}

long long FieldOut(const std::optional<uint64_t>& value) { return value ? static_cast<long long>(*value) : kAbsent; }

std::optional<uint64_t> FieldIn(long long value) {
  return value < 0 ? std::nullopt : std::optional<uint64_t>(static_cast<uint64_t>(value));
}

void ToC(const Credential& credential, Rdr00800_Credential& out) {
  CopyInto(out.format, credential.format);
  out.bits = credential.bits;
  out.parity = credential.parity == ParityCheck::Ok ? 1 : credential.parity == ParityCheck::Failed ? 0 : -1;
  out.facility = FieldOut(credential.facility);
  out.card = FieldOut(credential.card);
  out.issue = FieldOut(credential.issue);
  out.oem = FieldOut(credential.oem);
  CopyInto(out.raw, credential.raw);
}

Credential FromC(const Rdr00800_Credential& in) {
  Credential credential;
  credential.format.assign(in.format, strnlen(in.format, sizeof in.format));
  credential.bits = in.bits;
  credential.parity = in.parity > 0 ? ParityCheck::Ok : in.parity == 0 ? ParityCheck::Failed : ParityCheck::None;
  credential.facility = FieldIn(in.facility);
  credential.card = FieldIn(in.card);
  credential.issue = FieldIn(in.issue);
  credential.oem = FieldIn(in.oem);
  credential.raw.assign(in.raw, strnlen(in.raw, sizeof in.raw));
  return credential;
}

}  // namespace

extern "C" {

RDR00800_CAPI int Rdr00800_DecodeCredentials(const char* frame, const char* layout, const char* format,
                                             Rdr00800_Credential* out, int capacity) {
  return Rdr00800::detail::Guarded(-1, [&] {
    const std::vector<Credential> credentials =
        Rdr00800::DecodeCredentials(TextArg(frame), TextArg(layout), TextArg(format));
    const std::size_t written = out ? std::min(credentials.size(), static_cast<std::size_t>(std::max(capacity, 0))) : 0;
    for (std::size_t i = 0; i < written; ++i) ToC(credentials[i], out[i]);
    return static_cast<int>(credentials.size());
  });
}

RDR00800_CAPI char* Rdr00800_EncodeCredential(const char* format, unsigned long long facility, unsigned long long card,
                                              const char* layout, unsigned long long issue, unsigned long long oem) {
  return Rdr00800::detail::Guarded<char*>(nullptr, [&] {
    return Rdr00800::detail::CopyText(
        Rdr00800::EncodeCredential(TextArg(format), facility, card, TextArg(layout), issue, oem));
  });
}

RDR00800_CAPI char* Rdr00800_CredentialForm(const Rdr00800_Credential* credential, const char* form) {
  return Rdr00800::detail::GuardedText([&] {
    if (!credential) throw std::invalid_argument("no credential given");
    return FromC(*credential).Form(TextArg(form));
  });
}

RDR00800_CAPI int Rdr00800_CredentialFormatCount(void) {
  return Rdr00800::detail::Guarded(0, [] { return static_cast<int>(Rdr00800::CredentialFormats().size()); });
}

RDR00800_CAPI char* Rdr00800_CredentialFormatName(int index) {
  return Rdr00800::detail::GuardedText([=] {
    const std::vector<std::string> names = Rdr00800::CredentialFormats();
    return index >= 0 && static_cast<std::size_t>(index) < names.size() ? names[static_cast<std::size_t>(index)]
                                                                        : std::string();
  });
}

RDR00800_CAPI int Rdr00800_RegisterCredentialFormat(const char* name, const char* definition) {
  return Rdr00800::detail::Guarded(0, [&] {
    Rdr00800::RegisterCredentialFormat(TextArg(name), TextArg(definition));
    return 1;
  });
}

}  // extern "C"
