// Keystrokes into a real window: the system's SendMessageA reaches the
// window procedure, directly and from the scanner thread's synchronized call.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "rdr00800/Rdr00800.h"
#include "support/simulated_reader.h"

namespace {

using Message = std::pair<UINT, WPARAM>;
std::vector<Message> gReceived;
DWORD gWindowThread = 0;
DWORD gProcedureThread = 0;

LRESULT CALLBACK RecordingProcedure(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_CHAR || msg == WM_KEYDOWN) {
    gReceived.emplace_back(msg, wParam);
    gProcedureThread = ::GetCurrentThreadId();
    return 7;
  }
  return ::DefWindowProcA(window, msg, wParam, lParam);
}

// A message-only window of this thread that records keystrokes.
class RecordingWindow {
 public:
  RecordingWindow() {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = RecordingProcedure;
    windowClass.hInstance = ::GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "rdr00800RecordingWindow";
    ::RegisterClassA(&windowClass);  // fails harmlessly when already registered
    window_ = ::CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
    gReceived.clear();
    gWindowThread = ::GetCurrentThreadId();
  }
  ~RecordingWindow() { ::DestroyWindow(window_); }
  RecordingWindow(const RecordingWindow&) = delete;
  RecordingWindow& operator=(const RecordingWindow&) = delete;

  uint32_t Handle() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window_)); }
  explicit operator bool() const { return window_ != nullptr; }

 private:
  HWND window_ = nullptr;
};

std::vector<Message> Typed(const std::string& text) {
  std::vector<Message> typed;
  for (const unsigned char c : text) typed.emplace_back(WM_CHAR, c);
  typed.emplace_back(WM_KEYDOWN, VK_RETURN);
  return typed;
}

TEST(RealWindow, SendMessageReachesTheProcedureWithItsResult) {
  RecordingWindow window;
  ASSERT_TRUE(window);
  EXPECT_EQ(Rdr00800::SendMessageA(window.Handle(), WM_CHAR, 'q', 0), 7);
  EXPECT_EQ(gReceived, (std::vector<Message>{{WM_CHAR, 'q'}}));
  // A registered procedure under the same handle is called instead.
  Rdr00800::RegisterWindow(window.Handle(), [](uint32_t, uintptr_t, intptr_t) -> intptr_t { return 9; });
  EXPECT_EQ(Rdr00800::SendMessageA(window.Handle(), WM_CHAR, 'r', 0), 9);
  Rdr00800::UnregisterWindow(window.Handle());
  EXPECT_EQ(gReceived.size(), 1u);
}

TEST(RealWindow, TextIsTypedByteByByteFollowedByEnter) {
  RecordingWindow window;
  ASSERT_TRUE(window);
  Rdr00800::PostTextHandle(window.Handle(),
                           "A\xE9"
                           "1");
  EXPECT_EQ(gReceived, Typed("A\xE9"
                             "1"));
}

TEST(RealWindow, ScannerRelaysTheReadersCodeOnTheWindowsThread) {
  const auto reader = rdrtest::NewSimulatedReader();
  RecordingWindow window;
  ASSERT_TRUE(window);
  Rdr00800::SetPortDevice("COM5", reader->DevicePath());
  Rdr00800::IdPortaOpt = 5;  // "COM5"
  Rdr00800::IdVelocOpt = 5;
  reader->Send("12345\r\n");
  {
    Rdr00800::TScannerThread thread(Rdr00800::tpNormal, window.Handle());
    thread.Start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (gReceived.size() < 8 && std::chrono::steady_clock::now() < deadline) Rdr00800::CheckSynchronize(20);
    thread.Terminate();
    thread.WaitFor();
  }
  Rdr00800::SetPortDevice("COM5", "");
  Rdr00800::IdPortaOpt = 0;
  Rdr00800::IdVelocOpt = 0;
  EXPECT_EQ(gReceived, Typed("12345\r\n"));
  EXPECT_EQ(gProcedureThread, gWindowThread);
}

}  // namespace
