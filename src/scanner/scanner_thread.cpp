// The scanner thread: polls the optical reader, or holds its port in a
// session, and types each code that begins with a letter or digit into the
// host window, on the main thread.
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>

#include "rdr00800/Rdr00800.h"
#include "scanner/optical_poll_source.h"

namespace Rdr00800 {
namespace {

// Pause after a poll that ended early without bytes (no such port, port busy,
// line refused, a hang-up or an I/O error at once): without it a reader that
// fails at once pins a core.
constexpr uint32_t kFailedPollPauseMs = 100;
// How long a held port's wait for a code lasts before the settings are looked
// at again; Terminate ends it at once.
constexpr std::chrono::milliseconds kSessionWait{250};

std::atomic<detail::OpticalPollFunction> gPollSource{&detail::PollOpticalReader};

// Bytes above 127 are not letters in any code page the readers use.
bool StartsWithAsciiLetterOrDigit(const std::string& text) {
  if (text.empty()) return false;
  const unsigned char first = static_cast<unsigned char>(text.front());
  return (first >= '0' && first <= '9') || (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z');
}

}  // namespace

void detail::SetOpticalPollSource(OpticalPollFunction poll) { gPollSource.store(poll ? poll : &PollOpticalReader); }

void PostTextHandle(uint32_t handle, const std::string& text) {
  for (const char byte : text) SendMessageA(handle, kWmChar, static_cast<unsigned char>(byte), 0);
  SendMessageA(handle, kWmKeyDown, kVkReturn, 0);
}

TScannerThread::TScannerThread(uint32_t priority, uint32_t targetHandle) : TThread(true), FTargetHandle(targetHandle) {
  SetPriority(static_cast<uint8_t>(priority));
  SetFreeOnTerminate(false);
}

TScannerThread::~TScannerThread() { TerminateAndWait(); }

ReadStatus TScannerThread::LastStatus() const { return lastStatus_.load(std::memory_order_relaxed); }

void TScannerThread::SendMessageToHandle() {
  PostTextHandle(FTargetHandle, FReadValue);
  FReadValue.clear();
}

void TScannerThread::Execute() {
  while (!Terminated()) {
    if (ScannerHoldsPort.load(std::memory_order_relaxed)) {
      RelayFromSession();
      continue;
    }
    const auto start = std::chrono::steady_clock::now();
    detail::OpticalPoll poll = gPollSource.load()();
    lastStatus_.store(poll.status, std::memory_order_relaxed);
    FReadValue = std::move(poll.frame);
    if (StartsWithAsciiLetterOrDigit(FReadValue))
      Synchronize([this] { SendMessageToHandle(); });
    else if (poll.status != ReadStatus::Ok && std::chrono::steady_clock::now() - start < detail::kReadTimeout)
      Sleep(kFailedPollPauseMs);
  }
}

void TScannerThread::RelayFromSession() {
  const int32_t portIndex = IdPortaOpt.load(std::memory_order_relaxed);
  const int32_t speedIndex = IdVelocOpt.load(std::memory_order_relaxed);
  const std::optional<detail::OpticalReaderSelection> reader = detail::SelectedOpticalReader();
  if (!reader) {
    lastStatus_.store(LastReadStatus(), std::memory_order_relaxed);
    Sleep(kFailedPollPauseMs);
    return;
  }
  ReaderSession session(reader->port, detail::SpeedFromText(reader->speed));
  {
    std::lock_guard lock(sessionMutex_);
    session_ = &session;
  }
  // Terminate after this point cancels the session; before it, Terminated() says so.
  while (!Terminated() && ScannerHoldsPort.load(std::memory_order_relaxed) &&
         IdPortaOpt.load(std::memory_order_relaxed) == portIndex &&
         IdVelocOpt.load(std::memory_order_relaxed) == speedIndex) {
    std::optional<std::string> code = session.NextCode(kSessionWait);
    lastStatus_.store(session.Status(), std::memory_order_relaxed);
    if (!code || !StartsWithAsciiLetterOrDigit(*code)) continue;
    FReadValue = std::move(*code);
    Synchronize([this] { SendMessageToHandle(); });
  }
  std::lock_guard lock(sessionMutex_);
  session_ = nullptr;
}

void TScannerThread::TerminatedSet() {
  std::lock_guard lock(sessionMutex_);
  if (session_) session_->Cancel();
}

}  // namespace Rdr00800
