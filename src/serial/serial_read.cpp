#include "serial/serial_read.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <stdexcept>
#include <string_view>

#include "decode/digit_conversions.h"
#include "device/device.h"
#include "network/network_device.h"
#include "rdr00800/Rdr00800.h"
#include "runtime/trace.h"
#include "serial/read_status.h"
#include "serial/reader_port.h"

namespace Rdr00800 {

namespace {

constexpr size_t kFrameLimit = 51;
constexpr size_t kQueueSize = 256;

// Negative settings count as off.
std::chrono::milliseconds ReadInterval() {
  return std::chrono::milliseconds(std::max(0, ReadIntervalTimeoutMs.load(std::memory_order_relaxed)));
}

// "poll COM7", what a poll's trace lines begin with.
std::string PollSubject(const std::string& port) { return "poll " + port; }

// Traces the close of a poll's device when the poll opened one, after the
// device is closed: declared before it, destroyed after it.
struct CloseTrace {
  const std::string& port;
  bool opened = false;
  ~CloseTrace() {
    if (!opened || !detail::Tracing()) return;
    try {
      detail::Trace(PollSubject(port) + ": close");
    } catch (...) {  // a trace line that cannot be built is not traced
    }
  }
};

// Opens `port`, sets the line at the rate `rateOf()` gives, waits up to one
// second for a frame and closes the port on every path; `outcome` gets where
// it ended. `rateOf` runs only once the port is open and its line read, so an
// exception it throws reaches the caller after the close.
template <class RateOf>
detail::OpticalPoll ReadFrameFrom(const std::string& port, bool dropLastCharacter, RateOf&& rateOf,
                                  detail::ReadOutcome& outcome) {
  detail::OpticalPoll poll;
  CloseTrace closeTrace{port};
  const std::string subject = detail::Tracing() ? PollSubject(port) : std::string();
  std::optional<detail::LineSettings> line;
  auto device = detail::OpenWithLine(port, subject, outcome.cause, line);
  if (!device) return poll;
  closeTrace.opened = true;
  int32_t baud = 0;
  try {
    baud = outcome.baud = rateOf();
  } catch (const std::invalid_argument& error) {
    outcome.cause = {ReadStatus::LineRefused, 0};
    outcome.note = error.what();
    throw;
  }
  if (!detail::SetReaderLine(*device, *line, baud, kQueueSize, ReadInterval(), subject, outcome)) return poll;
  std::array<char, kFrameLimit> buffer;
  const auto readStart = detail::TraceClock();
  const auto count = device->ReadOnce(buffer);
  outcome.cause =
      count ? detail::DeviceFailure{*count > 0 ? ReadStatus::Ok : ReadStatus::NothingInTime, 0} : device->LastFailure();
  if (detail::Tracing()) {
    detail::TraceStep(subject,
                      "read " + std::to_string(count.value_or(0)) + " bytes in " + detail::MillisecondsSince(readStart),
                      outcome.cause);
  }
  if (!count) return poll;
  const std::string_view delivered(buffer.data(), *count);
  poll.frame = detail::CutFrame(delivered, dropLastCharacter);
  if (const size_t cut = detail::BytesCutByNul(delivered); cut > 0) {
    outcome.note = "the frame ends at its first NUL: " + std::to_string(cut) +
                   (cut == 1 ? " byte after it was" : " bytes after it were") + " left out";
  }
  return poll;
}

// ReadFrameFrom, recording its outcome for LastReadStatus whichever way it
// ends.
template <class RateOf>
detail::OpticalPoll ReadFrame(const std::string& port, bool dropLastCharacter, RateOf&& rateOf) {
  detail::ReadOutcome outcome;
  outcome.port = port;
  struct Recorder {
    detail::ReadOutcome& outcome;
    ~Recorder() { detail::RecordReadOutcome(std::move(outcome)); }
  } recorder{outcome};
  detail::OpticalPoll poll = ReadFrameFrom(port, dropLastCharacter, rateOf, outcome);
  poll.status = outcome.cause.status;
  return poll;
}

// The entry's text as it is now: the host may replace it while this poll runs.
template <class Table>
const std::string* EntryAt(const Table& table, int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= table.size()) return nullptr;
  return &table[static_cast<size_t>(index)].Text();
}

}  // namespace

namespace detail {

void TraceStep(const std::string& subject, const std::string& step, const DeviceFailure& result) {
  if (!Tracing()) return;
  Trace(subject + ": " + step + ": " + DescribeFailure(result));
}

std::optional<SerialDevice> OpenWithLine(const std::string& port, const std::string& subject, DeviceFailure& cause,
                                         std::optional<LineSettings>& line) {
  auto device = SerialDevice::Open(port + ":", &cause, &OpenNetworkDevice);
  if (Tracing()) TraceStep(subject, "open " + DevicePathForName(port + ":"), cause);
  if (!device) return std::nullopt;
  line = device->GetLineSettings();
  if (!line) {
    cause = device->LastFailure();
    TraceStep(subject, "line", cause);
    if (Tracing()) Trace(subject + ": close");
    return std::nullopt;
  }
  return device;
}

bool SetReaderLine(SerialDevice& device, LineSettings line, int32_t baud, size_t queueSize,
                   std::chrono::milliseconds interval, const std::string& subject, ReadOutcome& outcome) {
  line.baud = outcome.baud = baud;
  line.dataBits = 8;
  line.parity = Parity::None;
  line.stopBits = 1;
  const bool set = device.SetQueueSizes(queueSize, queueSize) && device.SetLineSettings(line) &&
                   device.SetReadTimeout(kReadTimeout, interval);
  outcome.cause = set ? DeviceFailure{} : device.LastFailure();
  if (!set || Tracing()) TraceStep(subject, "line " + std::to_string(baud) + " 8N1", outcome.cause);
  return set;
}

std::optional<OpticalReaderSelection> SelectedOpticalReader() {
  const std::string* port = EntryAt(Portas, IdPortaOpt.load(std::memory_order_relaxed));
  const std::string* speed = EntryAt(Velocidades, IdVelocOpt.load(std::memory_order_relaxed));
  if (port && speed) return OpticalReaderSelection{*port, *speed};
  ReadOutcome outcome;
  outcome.cause.status = port ? ReadStatus::LineRefused : ReadStatus::NoSuchDevice;
  if (port) outcome.port = *port;
  outcome.note = port ? "IdVelocOpt " + std::to_string(IdVelocOpt.load()) + " lies outside Velocidades"
                      : "IdPortaOpt " + std::to_string(IdPortaOpt.load()) + " lies outside Portas";
  RecordReadOutcome(std::move(outcome));
  return std::nullopt;
}

OpticalPoll PollOpticalReader() {
  const bool dropLastCharacter = IdTipoOpt.load(std::memory_order_relaxed) == 2;
  const std::optional<OpticalReaderSelection> reader = SelectedOpticalReader();
  if (!reader) return {std::string(), LastReadStatus()};
  return ReadFrame(reader->port, dropLastCharacter,
                   [&speedText = reader->speed] { return detail::SpeedFromText(speedText); });
}

int32_t SpeedFromText(const std::string& text) {
  int32_t speed = 0;
  if (!ParseInt32(text, speed)) throw std::invalid_argument("speed is not a number: '" + text + "'");
  return speed;
}

std::string CutFrame(std::string_view delivered, bool dropLastCharacter) {
  std::string_view frame = delivered.substr(0, kFrameLimit);
  frame = frame.substr(0, frame.find('\0'));
  if (dropLastCharacter && !frame.empty()) frame.remove_suffix(1);
  return std::string(frame);
}

size_t BytesCutByNul(std::string_view delivered) {
  const std::string_view read = delivered.substr(0, kFrameLimit);
  const size_t nul = read.find('\0');
  if (nul == std::string_view::npos) return 0;
  return static_cast<size_t>(std::count_if(read.begin() + static_cast<std::ptrdiff_t>(nul), read.end(),
                                           [](char byte) { return byte != '\0'; }));
}

}  // namespace detail

std::string NetworkPortProblem(const std::string& port) {
  // As the reads see it: a port text mapped to a network reader included.
  const std::string path = PortDevicePath(port);
  std::string problem;
  if (detail::IsNetworkPath(path)) detail::ParseNetworkPath(path, problem);
  return problem;
}

std::string GetOpticalReaderValue() { return detail::PollOpticalReader().frame; }

ReadStatus CheckPortOpens(const std::string& port) {
  detail::ReadOutcome outcome;
  outcome.port = port;
  {
    CloseTrace closeTrace{port};
    std::optional<detail::LineSettings> line;
    closeTrace.opened = detail::OpenWithLine(port, PollSubject(port), outcome.cause, line).has_value();
  }
  const ReadStatus status = outcome.cause.status;
  detail::RecordReadOutcome(std::move(outcome));
  return status;
}

std::string GetProximidadeReaderValue(const std::string&, const std::string& port, int32_t baud) {
  IdVelocProx.store(baud, std::memory_order_relaxed);
  return ReadFrame(port, false, [baud] { return baud; }).frame;
}

}  // namespace Rdr00800
