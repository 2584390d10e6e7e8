// The proximity road as the host calls it: the read and the current host
// framework around the pure frame decoder.
#include "decode/proximity_frame.h"
#include "rdr00800/Rdr00800.h"

namespace Rdr00800 {

std::string DecodeProximityFrame(const std::string& readerType, const std::string& frame) {
  return detail::DecodeProximityFrame(readerType, frame, CurrentHostFramework());
}

std::string LeitorProximidade(const std::string& readerType, const std::string& port, int32_t baud) {
  return DecodeProximityFrame(readerType, GetProximidadeReaderValue(readerType, port, baud));
}

}  // namespace Rdr00800
