// C entries of the digit conversions, the proximity decoder and the host
// framework settings.
#include "c_api/c_abi_support.h"
#include "c_api/callback_host_framework.h"

static_assert(RDR00800_MSG_INFORMACAO == static_cast<int>(Rdr00800::TTipoMsg::Informacao) &&
              RDR00800_MSG_CONFIRMACAO == static_cast<int>(Rdr00800::TTipoMsg::Confirmacao) &&
              RDR00800_MSG_ERRO == static_cast<int>(Rdr00800::TTipoMsg::Erro) &&
              RDR00800_MSG_AVISO == static_cast<int>(Rdr00800::TTipoMsg::Aviso) &&
              RDR00800_MSG_PERGUNTA == static_cast<int>(Rdr00800::TTipoMsg::Pergunta));

using Rdr00800::detail::GuardedText;
using Rdr00800::detail::GuardedVoid;
using Rdr00800::detail::TextArg;

extern "C" {

RDR00800_CAPI char* Rdr00800_HexaToBin(const char* text) {
  return GuardedText([&] { return Rdr00800::HexaToBin(TextArg(text)); });
}

RDR00800_CAPI char* Rdr00800_BinToDec(const char* text) {
  return GuardedText([&] { return Rdr00800::BinToDec(TextArg(text)); });
}

RDR00800_CAPI char* Rdr00800_DecodeProximityFrame(const char* readerType, const char* frame) {
  return GuardedText([&] { return Rdr00800::DecodeProximityFrame(TextArg(readerType), TextArg(frame)); });
}

RDR00800_CAPI char* LeitorProximidade(const char* readerType, const char* port, int32_t baud) {
  return GuardedText([&] { return Rdr00800::LeitorProximidade(TextArg(readerType), TextArg(port), baud); });
}

RDR00800_CAPI void Rdr00800_SetHostFramework(const Rdr00800HostFramework* framework) {
  GuardedVoid([&] { Rdr00800::detail::InstallCallbackHostFramework(framework); });
}

RDR00800_CAPI void Rdr00800_SetDefaultConnectionString(const char* connectionString) {
  GuardedVoid([&] { Rdr00800::SetDefaultConnectionString(TextArg(connectionString)); });
}

}  // extern "C"
