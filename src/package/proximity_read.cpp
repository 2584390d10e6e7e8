// The proximity road as the host calls it: the read and the current host
// framework around the pure frame decoder.
#include "decode/credential_codec.h"
#include "decode/proximity_frame.h"
#include "package/credentials.h"
#include "rdr00800/Rdr00800.h"
#include "serial/read_status.h"

namespace Rdr00800 {

std::string DecodeProximityFrame(const std::string& readerType, const std::string& frame) {
  return detail::DecodeProximityFrame(readerType, frame, CurrentHostFramework());
}

namespace {

// Why a decoded proximity frame's H10301 parity fails, or "" when it holds.
std::string ProximityParityFault(const std::string& frame) {
  const detail::CredentialFormat& h10301 = *detail::CurrentCredentialCatalogue().Find("H10301");
  const std::optional<uint64_t> word = detail::ProximityFrameWord(frame, h10301.bits);
  if (!word) return {};
  const detail::ParityBit* failed = detail::FirstFailedParity(h10301, *word);
  if (!failed) return {};
  return "H10301 parity bit " + std::to_string(failed->position) + " (" + (failed->odd ? "odd" : "even") +
         " over bits " + failed->cover + ") fails in frame " + std::string(detail::WithoutLineEnds(frame));
}

}  // namespace

std::string LeitorProximidade(const std::string& readerType, const std::string& port, int32_t baud) {
  const std::string frame = GetProximidadeReaderValue(readerType, port, baud);
  std::string code = DecodeProximityFrame(readerType, frame);
  if (code.empty() || readerType == "3" || !CheckProximityParity.load(std::memory_order_relaxed)) return code;
  std::string fault = ProximityParityFault(frame);
  if (fault.empty()) return code;
  detail::RecordReadOutcome({detail::DeviceFailure(ReadStatus::BadFrame, 0), port, baud, std::move(fault)});
  return {};
}

}  // namespace Rdr00800
