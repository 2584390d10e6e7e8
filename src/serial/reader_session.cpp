// ReaderSession: a reader's port held open between codes, split into codes
// at the line ends (or STX/ETX frames) as the bytes arrive.
#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "device/device.h"
#include "device/wake_signal.h"
#include "rdr00800/Rdr00800.h"
#include "runtime/trace.h"
#include "serial/read_status.h"
#include "serial/reader_port.h"

namespace Rdr00800 {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The longest code handed out whole; longer ones go out in pieces this long.
constexpr size_t kPieceLimit = 4096;
// How often a port that cannot be read is tried again.
constexpr milliseconds kRetryPause{250};
// Driver queues where the system lets them be sized (Windows): room for the
// codes that arrive while nobody asks for them.
constexpr size_t kQueueSize = 64 * 1024;

constexpr char kStx = '\x02';
constexpr char kEtx = '\x03';

bool IsLineEnd(char byte) { return byte == '\r' || byte == '\n'; }

}  // namespace

struct ReaderSession::Impl {
  Impl(std::string portText, int32_t speed, milliseconds quiet)
      : port(std::move(portText)), baud(speed), quietEnd(std::max(quiet, milliseconds::zero())) {
    outcome.port = port;
  }

  // The next code to hand out: TakeCode's, less the repeats within the hold.
  std::optional<std::string> TakeNewCode() {
    while (std::optional<std::string> code = TakeCode()) {
      if (!IsRepeat(*code)) return code;
    }
    return std::nullopt;
  }

  // The next code in `pending`: one that its line end closed, a piece of a
  // long one, or the text after the last line end once the reader has been
  // quiet for quietEnd (line ends only: an STX frame waits for its ETX).
  // Skips empty codes.
  std::optional<std::string> TakeCode() {
    while (head < pending.size() && IsLineEnd(pending[head])) ++head;
    const size_t end = pending.find_first_of("\r\n", head);
    const size_t available = (end == std::string::npos ? pending.size() : end) - head;
    const bool piece = available > kPieceLimit;
    if (!piece && end == std::string::npos && (available == 0 || !quietConfirmed || !QuietEndsCodes())) {
      Compact();
      return std::nullopt;
    }
    const size_t length = std::min(available, kPieceLimit);
    std::string code = pending.substr(head, length);
    head += length;
    Compact();
    tookPart = piece || inLongCode;
    NoteLongCode(piece);
    return code;
  }

  bool QuietEndsCodes() const { return framing == Framing::LineEnds; }

  // Whether `code`, just taken, repeats the code that arrived before it
  // within the hold. Measured from that code's arrival, handed out or not, so
  // a held card that the reader keeps sending stays one code. Pieces of a
  // long code are parts, never repeats of each other.
  bool IsRepeat(const std::string& code) {
    if (repeatHold <= milliseconds::zero()) return false;
    if (tookPart) {
      previousCode.reset();
      return false;
    }
    // Every code before the last read was taken before it: this one's end
    // came in the last read that brought bytes.
    const Clock::time_point arrival = lastByteAt;
    const bool repeat = previousCode == code && arrival - previousArrival <= repeatHold;
    previousCode = code;
    previousArrival = arrival;
    return repeat;
  }

  // Puts what a read brought into `pending` in the form TakeCode splits:
  // with STX/ETX framing, each frame's content followed by LF, and nothing
  // from outside a frame.
  void Append(std::string_view bytes) {
    if (framing == Framing::LineEnds) {
      pending.append(bytes);
      return;
    }
    for (const char byte : bytes) {
      if (byte == kStx) {
        // A frame cut short by a new one is no code.
        if (inFrame) pending.resize(std::max(frameStart, head));
        inFrame = true;
        frameStart = pending.size();
      } else if (!inFrame || IsLineEnd(byte)) {
        continue;
      } else if (byte == kEtx) {
        pending += '\n';
        inFrame = false;
      } else {
        pending += byte;
      }
    }
  }

  // Drops the bytes read and not handed out, and any frame begun.
  void DropPending() {
    pending.clear();
    head = 0;
    frameStart = 0;
    inFrame = false;
    quietConfirmed = false;
  }

  // Drops what was handed out once it is worth the copy, so a long run of
  // short codes is not moved once per code.
  void Compact() {
    if (head == pending.size()) {
      pending.clear();
    } else if (head >= kPieceLimit) {
      pending.erase(0, head);
    } else {
      return;
    }
    frameStart -= std::min(frameStart, head);
    head = 0;
  }

  // The status message tells of a long code from its first piece until the
  // next code after it.
  void NoteLongCode(bool piece) {
    if (piece) {
      inLongCode = true;
      SetNote("a code longer than " + std::to_string(kPieceLimit) + " bytes, handed out in " +
              std::to_string(kPieceLimit) + "-byte pieces");
    } else if (inLongCode) {
      inLongCode = false;  // its last part: the note stays until the next code
    } else if (noted) {
      SetNote({});
    }
  }

  void SetNote(std::string note) {
    noted = !note.empty();
    std::lock_guard lock(mutex);
    if (outcome.cause.status == ReadStatus::Ok) outcome.note = std::move(note);
  }

  void Record(detail::ReadOutcome attempt) {
    noted = false;
    std::lock_guard lock(mutex);
    outcome = std::move(attempt);
  }

  // Opens the port as a poll does; on failure records why and when to try
  // again.
  void Open() {
    detail::ReadOutcome attempt;
    attempt.port = port;
    std::optional<detail::LineSettings> line;
    std::optional<detail::SerialDevice> opened = detail::OpenWithLine(port, Subject(), attempt.cause, line);
    if (opened && detail::SetReaderLine(*opened, *line, baud, kQueueSize, milliseconds::zero(), Subject(), attempt)) {
      device = std::move(opened);
    } else {
      if (opened) {
        opened.reset();
        TraceClose();
      }
      nextAttempt = Clock::now() + kRetryPause;
    }
    Record(std::move(attempt));
  }

  // Waits up to the deadline, or the end of a code's quiet time, for bytes.
  void Read(Clock::time_point deadline) {
    const Clock::time_point now = Clock::now();
    Clock::time_point until = deadline;
    if (head < pending.size() && QuietEndsCodes()) until = std::min(until, lastByteAt + quietEnd);
    const milliseconds wait = std::max(std::chrono::ceil<milliseconds>(until - now), milliseconds::zero());
    const std::optional<size_t> count = device->ReadAvailable(buffer, wait, wake);
    if (!count) return Fault(device->LastFailure());  // a copy: Fault closes the device
    if (detail::Tracing()) detail::Trace(Subject() + ": read " + std::to_string(*count) + " bytes");
    if (*count > 0) {
      Append(std::string_view(buffer.data(), *count));
      lastByteAt = Clock::now();
      quietConfirmed = false;
    } else if (Clock::now() >= lastByteAt + quietEnd) {
      quietConfirmed = true;
    }
  }

  // The device failed or went away: a code it cut short is no code.
  void Fault(detail::DeviceFailure failure) {
    detail::TraceStep(Subject(), "read", failure);
    Release();
    inLongCode = false;
    const size_t lastEnd = pending.find_last_of("\r\n");
    pending.resize(lastEnd == std::string::npos || lastEnd < head ? head : lastEnd + 1);
    inFrame = false;
    Compact();
    nextAttempt = Clock::now() + kRetryPause;
    detail::ReadOutcome attempt;
    attempt.port = port;
    attempt.baud = baud;
    attempt.cause = failure;
    Record(std::move(attempt));
  }

  // Sleeps until the deadline or the next attempt to open, or a Cancel.
  void WaitForRetry(Clock::time_point deadline) {
    std::unique_lock lock(mutex);
    cancelledChanged.wait_until(lock, std::min(deadline, nextAttempt), [this] { return cancelled; });
  }

  bool TakeCancel() {
    std::lock_guard lock(mutex);
    if (!cancelled) return false;
    cancelled = false;
    wake.Clear();
    return true;
  }

  void Release() {
    if (!device) return;
    device.reset();
    TraceClose();
  }

  void TraceClose() const {
    if (detail::Tracing()) detail::Trace(Subject() + ": close");
  }

  std::string Subject() const { return "session " + port; }

  const std::string port;
  const int32_t baud;
  const milliseconds quietEnd;

  // Touched only by the thread in NextCode or Close.
  std::optional<detail::SerialDevice> device;
  std::array<char, kPieceLimit> buffer{};
  std::string pending;  // bytes read; those before `head` are handed out
  size_t head = 0;
  Clock::time_point lastByteAt{};
  bool quietConfirmed = false;  // a read since the last byte found the reader quiet for quietEnd
  Framing framing = Framing::LineEnds;
  bool inFrame = false;   // an STX came and its ETX not yet
  size_t frameStart = 0;  // where that frame's content begins in `pending`
  milliseconds repeatHold{0};
  std::optional<std::string> previousCode;  // the last whole code taken while a hold is set
  Clock::time_point previousArrival{};
  bool tookPart = false;  // the code taken last is a piece of a long code, or its last part
  bool inLongCode = false;
  bool noted = false;  // the outcome carries the long-code note
  Clock::time_point nextAttempt{};

  detail::WakeSignal wake;
  // Guards what follows; `cancelledChanged` wakes a wait for the next attempt.
  mutable std::mutex mutex;
  std::condition_variable cancelledChanged;
  bool cancelled = false;
  detail::ReadOutcome outcome;
};

ReaderSession::ReaderSession(std::string port, int32_t baud, milliseconds quietEnd)
    : impl_(std::make_unique<Impl>(std::move(port), baud, quietEnd)) {}

ReaderSession::~ReaderSession() { impl_->Release(); }

std::optional<std::string> ReaderSession::NextCode(milliseconds timeout) {
  Impl& session = *impl_;
  const Clock::time_point deadline = Clock::now() + std::max(timeout, milliseconds::zero());
  for (;;) {
    if (session.TakeCancel()) return std::nullopt;
    if (auto code = session.TakeNewCode()) return code;
    if (!session.device && Clock::now() >= session.nextAttempt) session.Open();
    if (session.device)
      session.Read(deadline);
    else
      session.WaitForRetry(deadline);
    if (Clock::now() >= deadline) {
      // A code completed by the last read still goes out; one that needs its
      // quiet time confirmed waits for the next call.
      if (session.TakeCancel()) return std::nullopt;
      return session.TakeNewCode();
    }
  }
}

bool ReaderSession::CodeContinues() const { return impl_->inLongCode; }

void ReaderSession::Cancel() {
  {
    // Raised under the lock, so that TakeCancel never lowers a signal whose
    // Cancel it has not seen.
    std::lock_guard lock(impl_->mutex);
    impl_->cancelled = true;
    impl_->wake.Raise();
  }
  impl_->cancelledChanged.notify_all();
}

ReadStatus ReaderSession::Status() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->outcome.cause.status;
}

std::string ReaderSession::StatusMessage() const {
  detail::ReadOutcome outcome;
  {
    std::lock_guard lock(impl_->mutex);
    outcome = impl_->outcome;
  }
  return detail::ReadOutcomeMessage(outcome);
}

void ReaderSession::Close() {
  Impl& session = *impl_;
  session.Release();
  session.DropPending();
  session.previousCode.reset();
  session.inLongCode = false;
  session.noted = false;
  session.nextAttempt = {};
  detail::ReadOutcome closed;
  closed.port = session.port;
  session.Record(std::move(closed));
}

void ReaderSession::SetFraming(Framing framing) {
  impl_->framing = framing;
  impl_->DropPending();
}

void ReaderSession::SetRepeatHold(milliseconds hold) { impl_->repeatHold = std::max(hold, milliseconds::zero()); }

}  // namespace Rdr00800
