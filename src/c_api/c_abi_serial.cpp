// C entries of the one-shot serial read and the port naming.
#include "c_api/c_abi_support.h"
#include "rdr00800/Rdr00800.h"
#include "rdr00800/rdr00800.h"

using Rdr00800::ReadStatus;
static_assert(RDR00800_READ_OK == static_cast<int32_t>(ReadStatus::Ok) &&
              RDR00800_READ_NOTHING_IN_TIME == static_cast<int32_t>(ReadStatus::NothingInTime) &&
              RDR00800_READ_NO_SUCH_DEVICE == static_cast<int32_t>(ReadStatus::NoSuchDevice) &&
              RDR00800_READ_PERMISSION_DENIED == static_cast<int32_t>(ReadStatus::PermissionDenied) &&
              RDR00800_READ_BUSY == static_cast<int32_t>(ReadStatus::Busy) &&
              RDR00800_READ_NOT_A_SERIAL_PORT == static_cast<int32_t>(ReadStatus::NotASerialPort) &&
              RDR00800_READ_LINE_REFUSED == static_cast<int32_t>(ReadStatus::LineRefused) &&
              RDR00800_READ_HUNG_UP == static_cast<int32_t>(ReadStatus::HungUp) &&
              RDR00800_READ_IO_ERROR == static_cast<int32_t>(ReadStatus::IoError) &&
              RDR00800_READ_BAD_FRAME == static_cast<int32_t>(ReadStatus::BadFrame));

using Rdr00800::detail::GuardedText;
using Rdr00800::detail::GuardedVoid;
using Rdr00800::detail::TextArg;

extern "C" {

char* Rdr00800_GetOpticalReaderValue(void) {
  return GuardedText([] { return Rdr00800::GetOpticalReaderValue(); });
}

char* Rdr00800_GetProximidadeReaderValue(const char* readerType, const char* port, int32_t baud) {
  return GuardedText([&] { return Rdr00800::GetProximidadeReaderValue(TextArg(readerType), TextArg(port), baud); });
}

void Rdr00800_SetPortDevice(const char* port, const char* devicePath) {
  GuardedVoid([&] { Rdr00800::SetPortDevice(TextArg(port), TextArg(devicePath)); });
}

char* Rdr00800_PortDevicePath(const char* port) {
  return GuardedText([&] { return Rdr00800::PortDevicePath(TextArg(port)); });
}

int32_t Rdr00800_LastReadStatus(void) {
  return Rdr00800::detail::Guarded(0, [] { return static_cast<int32_t>(Rdr00800::LastReadStatus()); });
}

char* Rdr00800_LastReadMessage(void) {
  return GuardedText([] { return Rdr00800::LastReadMessage(); });
}

int32_t Rdr00800_CheckPortOpens(const char* port) {
  return Rdr00800::detail::Guarded(static_cast<int32_t>(Rdr00800::ReadStatus::IoError),
                                   [&] { return static_cast<int32_t>(Rdr00800::CheckPortOpens(TextArg(port))); });
}

const char* Rdr00800_ReadStatusName(int32_t status) {
  return Rdr00800::detail::Guarded<const char*>(
      "unknown", [=] { return Rdr00800::ReadStatusName(static_cast<Rdr00800::ReadStatus>(status)); });
}

void Rdr00800_SetTraceHandler(void (*handler)(void* context, const char* line), void* context) {
  GuardedVoid([&] {
    if (!handler) {
      Rdr00800::SetTraceHandler(nullptr);
      return;
    }
    // The C handler gets a NUL-terminated copy of the line.
    Rdr00800::SetTraceHandler(
        [handler, context](std::string_view line) { handler(context, std::string(line).c_str()); });
  });
}

}  // extern "C"
