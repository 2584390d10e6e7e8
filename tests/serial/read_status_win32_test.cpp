// Windows errors mapped to read statuses, at each step of the read: Wine's
// ports show few of them for real, so the step's call is made to fail.
#include <windows.h>

#include "device/system_call_faults.h"
#include "rdr00800/Rdr00800.h"
#include "serial_test_support.h"
#include "support/simulated_reader.h"

namespace {

using Rdr00800::ReadStatus;
using Rdr00800::detail::InjectSystemCallFailure;
using Rdr00800::detail::SystemCall;

class ReadStatusWin32Test : public rdrtest::SerialTest {
 protected:
  ReadStatusWin32Test() { Rdr00800::SetPortDevice(kPort, reader_->DevicePath()); }
  std::unique_ptr<rdrtest::SimulatedReader> reader_ = rdrtest::NewSimulatedReader();
};

TEST_F(ReadStatusWin32Test, SystemErrorsMapToStatuses) {
  struct Case {
    SystemCall call;
    DWORD error;
    ReadStatus status;
  };
  const Case cases[] = {
      // Every holder opens without sharing, so a held port is access denied.
      {SystemCall::Open, ERROR_ACCESS_DENIED, ReadStatus::Busy},
      {SystemCall::Open, ERROR_SHARING_VIOLATION, ReadStatus::Busy},
      {SystemCall::Open, ERROR_FILE_NOT_FOUND, ReadStatus::NoSuchDevice},
      {SystemCall::Open, ERROR_PATH_NOT_FOUND, ReadStatus::NoSuchDevice},
      {SystemCall::Open, ERROR_NOT_ENOUGH_MEMORY, ReadStatus::IoError},
      {SystemCall::GetLine, ERROR_INVALID_FUNCTION, ReadStatus::NotASerialPort},
      {SystemCall::SetLine, ERROR_INVALID_PARAMETER, ReadStatus::LineRefused},
      {SystemCall::Read, ERROR_OPERATION_ABORTED, ReadStatus::HungUp},
      {SystemCall::Read, ERROR_DEVICE_REMOVED, ReadStatus::HungUp},
      {SystemCall::Read, ERROR_CRC, ReadStatus::IoError},
  };
  for (const Case& c : cases) {
    InjectSystemCallFailure(c.call, static_cast<int>(c.error));
    EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("2", kPort, 9600), "");
    EXPECT_EQ(Rdr00800::LastReadStatus(), c.status) << "error " << c.error;
    EXPECT_FALSE(Rdr00800::LastReadMessage().empty()) << "error " << c.error;
  }
  InjectSystemCallFailure(SystemCall::Open, ERROR_ACCESS_DENIED);
  Rdr00800::GetProximidadeReaderValue("2", kPort, 9600);
  EXPECT_EQ(Rdr00800::LastReadMessage(),
            std::string(kPort) + " (" + reader_->DevicePath() + "): held by another program");
}

TEST_F(ReadStatusWin32Test, PortTextsThatNameNoDevice) {
  for (const char* port : {"", "COM99"}) {
    EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("2", port, 9600), "") << port;
    EXPECT_EQ(Rdr00800::LastReadStatus(), ReadStatus::NoSuchDevice) << port;
  }
  Rdr00800::GetProximidadeReaderValue("2", "", 9600);
  EXPECT_EQ(Rdr00800::LastReadMessage(),
            "the empty port text names no device: map it with SetPortDevice or use the reader's COMn");
}

}  // namespace
