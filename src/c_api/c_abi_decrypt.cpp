// C entries of the decryption gateway.
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

RDR00800_CAPI int Rdr00800_DigVerifOK(void) { return Rdr00800::DigVerifOK ? 1 : 0; }

RDR00800_CAPI char* Rdr00800_GetMatriculaDV(const char* code) {
  return GuardedText([&] { return Rdr00800::GetMatriculaDV(TextArg(code)); });
}

RDR00800_CAPI int LeitorDescriptoDll(char** result, const char* directory, const char* code) {
  return Guarded(0, [&] {
    std::string answer;
    bool answerWritten = false;
    const bool decrypted = Rdr00800::detail::DecryptOnce(answer, answerWritten, TextArg(directory), TextArg(code));
    // The caller's old text stays the caller's: it is replaced, never freed.
    if (answerWritten && result) *result = Rdr00800::detail::CopyText(answer);
    return decrypted ? 1 : 0;
  });
}

}  // extern "C"
