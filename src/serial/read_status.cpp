#include "serial/read_status.h"

#include <utility>

#include "device/device_diagnosis.h"
#include "device/port_names.h"
#include "rdr00800/Rdr00800.h"

namespace Rdr00800 {

namespace detail {

namespace {

thread_local ReadOutcome lastOutcome;

// "COM3 (/dev/ttyUSB0)", or the path alone when the port text is the path.
std::string PortAndDevice(const ReadOutcome& outcome, const std::string& path) {
  if (path.empty() || path == outcome.port) return outcome.port;
  return outcome.port + " (" + path + ")";
}

std::string WithSystemError(std::string text, int systemError) {
  if (systemError != 0) text += " (" + SystemErrorText(systemError) + ")";
  return text;
}

}  // namespace

std::string DescribeFailure(const DeviceFailure& failure) {
  const std::string name = ReadStatusName(failure.status);
  return WithSystemError(failure.detail.empty() ? name : name + ": " + failure.detail, failure.systemError);
}

void RecordReadOutcome(ReadOutcome outcome) noexcept { lastOutcome = std::move(outcome); }

std::string ReadOutcomeMessage(const ReadOutcome& outcome) {
  if (!outcome.note.empty() && outcome.port.empty()) return outcome.note;
  const std::string path = DevicePathForName(outcome.port + ":");
  if (!outcome.note.empty()) return PortAndDevice(outcome, path) + ": " + outcome.note;
  const int error = outcome.cause.systemError;
  // What the backend knows beats what the system could be asked about a path.
  if (!outcome.cause.detail.empty()) {
    return WithSystemError(
        PortAndDevice(outcome, path) + ": " + ReadStatusName(outcome.cause.status) + ": " + outcome.cause.detail,
        error);
  }
  switch (outcome.cause.status) {
    case ReadStatus::Ok:
      return {};
    case ReadStatus::NothingInTime:
      return PortAndDevice(outcome, path) + ": nothing arrived within the second";
    case ReadStatus::NoSuchDevice:
      if (path.empty()) {
        return (outcome.port.empty() ? std::string("the empty port text") : outcome.port) +
               " names no device: " + NoDeviceHint();
      }
      // A port text that the platform's naming rule, not the host, made a
      // device of: the host may have meant another device.
      if (path != outcome.port && !MappedDevicePath(outcome.port)) {
        return WithSystemError(PortAndDevice(outcome, path) + ": no such device", error) + "; " + NoDeviceHint();
      }
      return WithSystemError(PortAndDevice(outcome, path) + ": no such device", error);
    case ReadStatus::PermissionDenied:
      return PortAndDevice(outcome, path) + ": permission denied" + PermissionHint(path);
    case ReadStatus::Busy:
      return PortAndDevice(outcome, path) + ": " + BusyReason(path);
    case ReadStatus::NotASerialPort:
      return PortAndDevice(outcome, path) + ": not a serial port";
    case ReadStatus::LineRefused:
      return WithSystemError(PortAndDevice(outcome, path) + ": the device refused the line at " +
                                 std::to_string(outcome.baud) + " bit/s, 8 data bits, no parity, 1 stop bit",
                             error);
    case ReadStatus::HungUp:
      return PortAndDevice(outcome, path) + ": the reader went away during the read";
    case ReadStatus::BadFrame:
      return PortAndDevice(outcome, path) + ": the frame failed its check";
    case ReadStatus::IoError:
      break;
  }
  return WithSystemError(PortAndDevice(outcome, path) + ": input/output error", error);
}

}  // namespace detail

const char* ReadStatusName(ReadStatus status) {
  switch (status) {
    case ReadStatus::Ok:
      return "ok";
    case ReadStatus::NothingInTime:
      return "nothing in time";
    case ReadStatus::NoSuchDevice:
      return "no such device";
    case ReadStatus::PermissionDenied:
      return "permission denied";
    case ReadStatus::Busy:
      return "busy";
    case ReadStatus::NotASerialPort:
      return "not a serial port";
    case ReadStatus::LineRefused:
      return "line refused";
    case ReadStatus::HungUp:
      return "hung up";
    case ReadStatus::IoError:
      return "input/output error";
    case ReadStatus::BadFrame:
      return "bad frame";
  }
  return "unknown";
}

ReadStatus LastReadStatus() { return detail::lastOutcome.cause.status; }

std::string LastReadMessage() { return detail::ReadOutcomeMessage(detail::lastOutcome); }

}  // namespace Rdr00800
