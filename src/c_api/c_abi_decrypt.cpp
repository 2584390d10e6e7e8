// C entries of the decryption gateway.
#include <stdexcept>

#include "c_api/c_abi_support.h"
#include "decrypt/gateway.h"
#include "rdr00800/Rdr00800.h"
#include "rdr00800/rdr00800.h"

using Rdr00800::detail::Guarded;
using Rdr00800::detail::GuardedText;
using Rdr00800::detail::GuardedVoid;
using Rdr00800::detail::TextArg;

extern "C" {

RDR00800_CAPI void Rdr00800_StartDigVerif(void) {
  GuardedVoid([] { Rdr00800::StartDigVerif(); });
}

RDR00800_CAPI void Rdr00800_StopDigVerif(void) {
  GuardedVoid([] { Rdr00800::StopDigVerif(); });
}

RDR00800_CAPI int Rdr00800_DigVerifOK(void) {
  return Guarded(0, [] { return Rdr00800::DigVerifOK ? 1 : 0; });
}

RDR00800_CAPI void Rdr00800_SetDecryptionLibraryDirectory(const char* directory) {
  GuardedVoid([&] { Rdr00800::SetDecryptionLibraryDirectory(TextArg(directory)); });
}

RDR00800_CAPI char* Rdr00800_GetMatriculaDV(const char* code) {
  return GuardedText([&] { return Rdr00800::GetMatriculaDV(TextArg(code)); });
}

RDR00800_CAPI int LeitorDescriptoDll(char** result, const char* directory, const char* code) {
  using Rdr00800::detail::DecryptFailureInEnglish;
  return Guarded(0, [&] {
    std::string answer;
    Rdr00800::detail::DecryptOutcome outcome;
    bool decrypted = false;
    try {
      decrypted = Rdr00800::detail::DecryptOnce(answer, outcome, TextArg(directory), TextArg(code));
    } catch (const Rdr00800::EDatabaseError& error) {
      throw Rdr00800::EDatabaseError(std::string(error.what()) + "\nthe host's database could not be opened");
    }
    // The caller's old text stays the caller's: it is replaced, never freed.
    if (outcome.resultWritten && result) *result = Rdr00800::detail::CopyText(answer);
    // Thrown only now, so that the answer above still reaches the caller.
    if (!decrypted) {
      const std::string english = DecryptFailureInEnglish(outcome.failure);
      throw std::runtime_error(outcome.message.empty() ? english : outcome.message + "\n" + english);
    }
    return 1;
  });
}

}  // extern "C"
