#include "serial/serial_read.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <stdexcept>
#include <string_view>

#include "decode/digit_conversions.h"
#include "rdr00800/Rdr00800.h"
#include "runtime/trace.h"
#include "serial/device.h"
#include "serial/read_status.h"

namespace Rdr00800 {

namespace {

constexpr size_t kFrameLimit = 51;
constexpr size_t kQueueSize = 256;

// The optical speed text as an integer.
int32_t SpeedFromText(const std::string& text) {
  int32_t speed = 0;
  if (!detail::ParseInt32(text, speed)) throw std::invalid_argument("speed is not a number: '" + text + "'");
  return speed;
}

// Negative settings count as off.
std::chrono::milliseconds ReadInterval() {
  return std::chrono::milliseconds(std::max(0, ReadIntervalTimeoutMs.load(std::memory_order_relaxed)));
}

// Traces one step of a poll of `port`: "poll COM7: open /dev/ttyS6: ok".
// Builds nothing when no handler is set.
void TraceStep(const std::string& port, const std::string& step, const detail::DeviceFailure& result) {
  if (!detail::Tracing()) return;
  detail::Trace("poll " + port + ": " + step + ": " + detail::DescribeFailure(result));
}

// Traces the close of a poll's device when the poll opened one, after the
// device is closed: declared before it, destroyed after it.
struct CloseTrace {
  const std::string& port;
  bool opened = false;
  ~CloseTrace() {
    if (!opened || !detail::Tracing()) return;
    try {
      detail::Trace("poll " + port + ": close");
    } catch (...) {  // a trace line that cannot be built is not traced
    }
  }
};

// Opens `port` exclusively and reads its line, as every poll begins. On
// failure `cause` says why and nothing stays open; `closeTrace`, declared
// before the caller's device, learns whether a close is to come.
std::optional<detail::SerialDevice> OpenWithLine(const std::string& port, detail::DeviceFailure& cause,
                                                 std::optional<detail::LineSettings>& line, CloseTrace& closeTrace) {
  auto device = detail::SerialDevice::Open(port + ":", &cause);
  if (detail::Tracing()) TraceStep(port, "open " + detail::DevicePathForName(port + ":"), cause);
  if (!device) return std::nullopt;
  closeTrace.opened = true;
  line = device->GetLineSettings();
  if (!line) {
    cause = device->LastFailure();
    TraceStep(port, "line", cause);
    return std::nullopt;
  }
  return device;
}

// Opens `port`, sets the line at the rate `rateOf()` gives, waits up to one
// second for a frame and closes the port on every path; `outcome` gets where
// it ended. `rateOf` runs only once the port is open and its line read, so an
// exception it throws reaches the caller after the close.
template <class RateOf>
detail::OpticalPoll ReadFrameFrom(const std::string& port, bool dropLastCharacter, RateOf&& rateOf,
                                  detail::ReadOutcome& outcome) {
  detail::OpticalPoll poll;
  CloseTrace closeTrace{port};
  std::optional<detail::LineSettings> line;
  auto device = OpenWithLine(port, outcome.cause, line, closeTrace);
  if (!device) return poll;
  try {
    line->baud = outcome.baud = rateOf();
  } catch (const std::invalid_argument& error) {
    outcome.cause = {ReadStatus::LineRefused, 0};
    outcome.note = error.what();
    throw;
  }
  line->dataBits = 8;
  line->parity = detail::Parity::None;
  line->stopBits = 1;
  if (!device->SetQueueSizes(kQueueSize, kQueueSize) || !device->SetLineSettings(*line) ||
      !device->SetReadTimeout(detail::kReadTimeout, ReadInterval())) {
    outcome.cause = device->LastFailure();
    TraceStep(port, "line " + std::to_string(line->baud) + " 8N1", outcome.cause);
    return poll;
  }
  if (detail::Tracing()) TraceStep(port, "line " + std::to_string(line->baud) + " 8N1", {});
  std::array<char, kFrameLimit> buffer;
  const auto readStart = detail::TraceClock();
  const auto count = device->ReadOnce(buffer);
  outcome.cause =
      count ? detail::DeviceFailure{*count > 0 ? ReadStatus::Ok : ReadStatus::NothingInTime, 0} : device->LastFailure();
  if (detail::Tracing()) {
    TraceStep(port, "read " + std::to_string(count.value_or(0)) + " bytes in " + detail::MillisecondsSince(readStart),
              outcome.cause);
  }
  if (!count) return poll;
  poll.frame = detail::CutFrame(std::string_view(buffer.data(), *count), dropLastCharacter);
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

template <class Table>
const std::string* EntryAt(const Table& table, int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= table.size()) return nullptr;
  return &table[static_cast<size_t>(index)];
}

}  // namespace

namespace detail {

OpticalPoll PollOpticalReader() {
  const std::string* port = EntryAt(Portas, IdPortaOpt.load(std::memory_order_relaxed));
  const std::string* speed = EntryAt(Velocidades, IdVelocOpt.load(std::memory_order_relaxed));
  const bool dropLastCharacter = IdTipoOpt.load(std::memory_order_relaxed) == 2;
  if (!port || !speed) {
    const ReadStatus status = port ? ReadStatus::LineRefused : ReadStatus::NoSuchDevice;
    detail::ReadOutcome outcome;
    outcome.cause.status = status;
    if (port) outcome.port = *port;
    outcome.note = port ? "IdVelocOpt " + std::to_string(IdVelocOpt.load()) + " lies outside Velocidades"
                        : "IdPortaOpt " + std::to_string(IdPortaOpt.load()) + " lies outside Portas";
    detail::RecordReadOutcome(std::move(outcome));
    return {std::string(), status};
  }
  return ReadFrame(*port, dropLastCharacter, [speedText = *speed] { return SpeedFromText(speedText); });
}

std::string CutFrame(std::string_view delivered, bool dropLastCharacter) {
  std::string_view frame = delivered.substr(0, kFrameLimit);
  frame = frame.substr(0, frame.find('\0'));
  if (dropLastCharacter && !frame.empty()) frame.remove_suffix(1);
  return std::string(frame);
}

}  // namespace detail

std::string GetOpticalReaderValue() { return detail::PollOpticalReader().frame; }

ReadStatus CheckPortOpens(const std::string& port) {
  detail::ReadOutcome outcome;
  outcome.port = port;
  {
    CloseTrace closeTrace{port};
    std::optional<detail::LineSettings> line;
    OpenWithLine(port, outcome.cause, line, closeTrace);
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
