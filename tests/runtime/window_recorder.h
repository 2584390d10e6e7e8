// A host window for tests: records every message it receives with the thread
// it ran on.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rdr00800/Rdr00800.h"

namespace rdrtest {

struct WindowMessage {
  uint32_t msg;
  uintptr_t wParam;
  intptr_t lParam;
  std::thread::id thread;

  bool operator==(const WindowMessage&) const = default;
};

class WindowRecorder {
 public:
  explicit WindowRecorder(uint32_t handle) : handle_(handle) {
    Rdr00800::RegisterWindow(handle_, [this](uint32_t msg, uintptr_t wParam, intptr_t lParam) -> intptr_t {
      std::lock_guard lock(mutex_);
      messages_.push_back({msg, wParam, lParam, std::this_thread::get_id()});
      if (msg == Rdr00800::kWmKeyDown) ++enters_;
      return 0;
    });
  }
  ~WindowRecorder() { Rdr00800::UnregisterWindow(handle_); }
  WindowRecorder(const WindowRecorder&) = delete;
  WindowRecorder& operator=(const WindowRecorder&) = delete;

  uint32_t Handle() const { return handle_; }

  std::vector<WindowMessage> Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  int Enters() const {
    std::lock_guard lock(mutex_);
    return enters_;
  }

  // The text typed so far, one character per WM_CHAR, "\n" for each Enter.
  std::string Typed() const {
    std::string typed;
    for (const WindowMessage& m : Messages()) typed += m.msg == Rdr00800::kWmChar ? static_cast<char>(m.wParam) : '\n';
    return typed;
  }

  // Serves synchronized calls on the main thread until `enters` Enter keys
  // arrived or `limit` passed; true when they arrived.
  bool ServeUntilEnters(int enters, std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Enters() < enters) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      Rdr00800::CheckSynchronize(20);
    }
    return true;
  }

 private:
  const uint32_t handle_;
  mutable std::mutex mutex_;
  std::vector<WindowMessage> messages_;
  int enters_ = 0;
};

}  // namespace rdrtest
