// C entries of the reader session.
#include <chrono>
#include <stdexcept>
#include <string>

#include "c_api/c_abi_support.h"
#include "rdr00800/Rdr00800.h"
#include "rdr00800/rdr00800.h"

static_assert(RDR00800_FRAMING_LINE_ENDS == static_cast<int>(Rdr00800::Framing::LineEnds) &&
              RDR00800_FRAMING_STX_ETX == static_cast<int>(Rdr00800::Framing::StxEtx));

// The opaque handle is the C++ object itself.
struct Rdr00800Session : Rdr00800::ReaderSession {
  using ReaderSession::ReaderSession;
};

extern "C" {

using namespace Rdr00800;

Rdr00800Session* Rdr00800_Session_Open(const char* port, int32_t baud, int32_t quietEndMs) {
  return detail::Guarded<Rdr00800Session*>(
      nullptr, [&] { return new Rdr00800Session(detail::TextArg(port), baud, std::chrono::milliseconds(quietEndMs)); });
}

char* Rdr00800_Session_NextCode(Rdr00800Session* session, int32_t timeoutMs) {
  return detail::Guarded<char*>(nullptr, [&]() -> char* {
    if (!session) return nullptr;
    const std::optional<std::string> code = session->NextCode(std::chrono::milliseconds(timeoutMs));
    return code ? detail::CopyText(*code) : nullptr;
  });
}

int32_t Rdr00800_Session_Status(const Rdr00800Session* session) {
  return detail::Guarded(static_cast<int32_t>(ReadStatus::Ok),
                         [&] { return static_cast<int32_t>(session ? session->Status() : ReadStatus::Ok); });
}

char* Rdr00800_Session_StatusMessage(const Rdr00800Session* session) {
  return detail::GuardedText([&] { return session ? session->StatusMessage() : std::string(); });
}

void Rdr00800_Session_Cancel(Rdr00800Session* session) {
  detail::GuardedVoid([&] {
    if (session) session->Cancel();
  });
}

void Rdr00800_Session_Close(Rdr00800Session* session) {
  detail::GuardedVoid([&] { delete session; });
}

int32_t Rdr00800_Session_SetFraming(Rdr00800Session* session, int32_t framing) {
  return detail::Guarded(0, [&] {
    if (!session) return 0;
    if (framing != RDR00800_FRAMING_LINE_ENDS && framing != RDR00800_FRAMING_STX_ETX) {
      throw std::invalid_argument("framing " + std::to_string(framing) + " is neither " +
                                  std::to_string(RDR00800_FRAMING_LINE_ENDS) + " (line ends) nor " +
                                  std::to_string(RDR00800_FRAMING_STX_ETX) + " (STX/ETX)");
    }
    session->SetFraming(static_cast<Framing>(framing));
    return 1;
  });
}

void Rdr00800_Session_SetRepeatHold(Rdr00800Session* session, int32_t holdMs) {
  detail::GuardedVoid([&] {
    if (session) session->SetRepeatHold(std::chrono::milliseconds(holdMs));
  });
}

}  // extern "C"
