// The window registry: delivery, replacement, and procedures that change the
// registry while they run.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "rdr00800/Rdr00800.h"
#include "window_recorder.h"

namespace {

using Rdr00800::RegisterWindow;
using Rdr00800::SendMessageA;
using Rdr00800::UnregisterWindow;

TEST(WindowMessages, DeliveredSynchronouslyWithTheProcedureResult) {
  RegisterWindow(0x100, [](uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    return static_cast<intptr_t>(msg + wParam) - lParam;
  });
  EXPECT_EQ(SendMessageA(0x100, 5, 7, 2), 10);
  RegisterWindow(0x100, [](uint32_t, uintptr_t, intptr_t) -> intptr_t { return -1; });
  EXPECT_EQ(SendMessageA(0x100, 5, 7, 2), -1);  // replaced
  RegisterWindow(0x100, nullptr);               // an empty procedure unregisters
  EXPECT_EQ(SendMessageA(0x100, 5, 7, 2), 0);
  EXPECT_EQ(SendMessageA(0xDEAD, 5, 7, 2), 0);  // never registered
}

TEST(WindowMessages, ProcedureMayChangeTheRegistryWhileItRuns) {
  int calls = 0;
  RegisterWindow(0x102, [&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
    ++calls;
    UnregisterWindow(0x102);  // destroys the running procedure's registration
    RegisterWindow(0x103, [](uint32_t, uintptr_t, intptr_t) -> intptr_t { return 3; });
    return SendMessageA(0x103, 0, 0, 0);
  });
  EXPECT_EQ(SendMessageA(0x102, 0, 0, 0), 3);
  EXPECT_EQ(SendMessageA(0x102, 0, 0, 0), 0);
  EXPECT_EQ(calls, 1);
  UnregisterWindow(0x103);
}

TEST(WindowMessages, RegistrationFromManyThreadsWhileSending) {
  rdrtest::WindowRecorder window(0x104);
  std::atomic<bool> stop{false};
  std::vector<std::thread> registrars;
  for (uint32_t t = 0; t < 4; ++t) {
    registrars.emplace_back([&stop, t] {
      const uint32_t handle = 0x200 + t;
      while (!stop) {
        RegisterWindow(handle, [](uint32_t, uintptr_t, intptr_t) -> intptr_t { return 1; });
        SendMessageA(handle, 0, 0, 0);
        UnregisterWindow(handle);
      }
    });
  }
  for (int i = 0; i < 1000; ++i) SendMessageA(window.Handle(), Rdr00800::kWmChar, 'x', 0);
  stop = true;
  for (std::thread& t : registrars) t.join();
  EXPECT_EQ(window.Messages().size(), 1000u);
}

TEST(PostTextHandle, EmptyTextGivesTheEnterAlone) {
  rdrtest::WindowRecorder window(0x106);
  Rdr00800::PostTextHandle(window.Handle(), "");
  ASSERT_EQ(window.Messages().size(), 1u);
  EXPECT_EQ(window.Messages()[0].msg, Rdr00800::kWmKeyDown);
  EXPECT_EQ(window.Messages()[0].wParam, Rdr00800::kVkReturn);
}

}  // namespace
