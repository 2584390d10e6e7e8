// The scanner thread against a simulated reader: what reaches the host
// window, on which thread, and how the thread starts and ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "device/system_call_faults.h"
#include "rdr00800/Rdr00800.h"
#include "runtime/window_recorder.h"
#include "scanner/optical_poll_source.h"
#include "support/simulated_reader.h"

namespace {

using namespace std::chrono_literals;
using Rdr00800::kWmChar;
using Rdr00800::kWmKeyDown;
using Rdr00800::TScannerThread;
using Rdr00800::detail::OpticalPoll;

constexpr uint32_t kWindow = 0x5CA0;
constexpr int32_t kCom5 = 5;
constexpr int32_t kSpeed9600 = 5;

// Counts the polls every scanner thread makes, reading the real reader.
std::atomic<int> gPolls{0};
std::atomic<int> gFramesRead{0};
OpticalPoll CountedPoll() {
  OpticalPoll poll = Rdr00800::detail::PollOpticalReader();
  ++gPolls;
  if (!poll.frame.empty()) ++gFramesRead;
  return poll;
}

class ScannerRelay : public ::testing::Test {
 protected:
  void SetUp() override {
    gPolls = 0;
    gFramesRead = 0;
    Rdr00800::detail::SetOpticalPollSource(&CountedPoll);
    Rdr00800::SetPortDevice("COM5", reader->DevicePath());
    Rdr00800::IdPortaOpt = kCom5;
    Rdr00800::IdVelocOpt = kSpeed9600;
    Rdr00800::IdTipoOpt = 0;
  }
  void TearDown() override {
    Rdr00800::ScannerHoldsPort = false;
    Rdr00800::SetWakeMainThread(nullptr);
    Rdr00800::detail::SetOpticalPollSource(nullptr);
    Rdr00800::SetPortDevice("COM5", "");
    Rdr00800::IdPortaOpt = 0;
    Rdr00800::IdVelocOpt = 0;
  }

  // Terminates and waits while serving calls, as the host does.
  static void Stop(TScannerThread& thread) {
    thread.Terminate();
    thread.WaitFor();
    EXPECT_FALSE(thread.FatalException());
  }

  // The reader sends `frame`; a scanner runs until one code has been typed.
  void RelayOneFrame(const std::string& frame) {
    reader->Send(frame);
    TScannerThread thread(Rdr00800::tpNormal, kWindow);
    thread.Start();
    ASSERT_TRUE(window.ServeUntilEnters(1));
    Stop(thread);
  }

  std::unique_ptr<rdrtest::SimulatedReader> reader = rdrtest::NewSimulatedReader();
  rdrtest::WindowRecorder window{kWindow};
};

TEST_F(ScannerRelay, CodeIsTypedOnTheMainThreadFollowedByEnter) {
  RelayOneFrame("12345\r\n");
  const auto main = std::this_thread::get_id();
  std::vector<rdrtest::WindowMessage> expected;
  for (unsigned char c : std::string("12345\r\n")) expected.push_back({kWmChar, c, 0, main});
  expected.push_back({kWmKeyDown, Rdr00800::kVkReturn, 0, main});
  EXPECT_EQ(window.Messages(), expected);
}

TEST_F(ScannerRelay, ByteAbove127InsideACodeArrivesUnsigned) {
  RelayOneFrame("A\xE9Z");
  ASSERT_EQ(window.Messages().size(), 4u);
  EXPECT_EQ(window.Messages()[1].wParam, 0xE9u);
}

TEST_F(ScannerRelay, TerminatedBeforeStartEndsWithoutPolling) {
  TScannerThread thread(Rdr00800::tpNormal, kWindow);
  thread.Terminate();
  thread.Start();
  thread.WaitFor();
  EXPECT_TRUE(thread.Finished());
  EXPECT_EQ(gPolls, 0);
}

TEST_F(ScannerRelay, NeverStartedThreadNeverTouchesThePort) {
  reader->Send("12345\r\n");
  {
    TScannerThread thread(Rdr00800::tpNormal, kWindow);
    EXPECT_TRUE(thread.Suspended());
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(gPolls, 0);
  // The frame is still waiting for a reader.
  EXPECT_EQ(Rdr00800::GetOpticalReaderValue(), "12345\r\n");
}

TEST_F(ScannerRelay, SettingsChangeTakesEffectAtTheNextPoll) {
  Rdr00800::IdPortaOpt = 0;  // names no device: polls fail at once
  TScannerThread thread(Rdr00800::tpNormal, kWindow);
  thread.Start();
  while (gPolls < 2) std::this_thread::sleep_for(5ms);
  reader->Send("77\r");
  Rdr00800::IdPortaOpt = kCom5;
  ASSERT_TRUE(window.ServeUntilEnters(1));
  Stop(thread);
  EXPECT_EQ(window.Typed(), "77\r\n");
}

// The host may write the tables on its main thread while the scanner reads
// them at every poll; ThreadSanitizer (scripts/test.sh) sees any race.
TEST_F(ScannerRelay, HostMayRewriteTheTablesWhileTheScannerPolls) {
  constexpr int32_t kCom12 = 12;
  for (const char* port : {"COM11", "COM12"}) Rdr00800::SetPortDevice(port, "/dev/rdr00800-test-missing");
  Rdr00800::IdPortaOpt = kCom12;  // each poll fails at once
  TScannerThread thread(Rdr00800::tpNormal, kWindow);
  thread.Start();
  for (int write = 0; gPolls < 3; ++write) {
    Rdr00800::Portas[kCom12] = write % 2 ? "COM12" : "COM11";
    Rdr00800::Velocidades[kSpeed9600] = write % 2 ? "9600" : "4800";
    std::this_thread::sleep_for(1ms);
  }
  Stop(thread);
  Rdr00800::Portas[kCom12] = "COM12";
  Rdr00800::Velocidades[kSpeed9600] = "9600";
  for (const char* port : {"COM11", "COM12"}) Rdr00800::SetPortDevice(port, "");
  EXPECT_EQ(thread.LastStatus(), Rdr00800::ReadStatus::NoSuchDevice);
}

TEST_F(ScannerRelay, PortThatFailsAtOnceIsPolledAboutTenTimesASecond) {
  struct Case {
    const char* cause;
    std::function<void()> arrange;
    Rdr00800::ReadStatus status;
  };
  const Case cases[] = {
      {"cannot be opened", [] { Rdr00800::IdPortaOpt = 0; }, Rdr00800::ReadStatus::NoSuchDevice},
      // Opens, then every read fails at once, as on a reader that hangs up.
      {"fails after opening",
       [] {
         Rdr00800::detail::InjectSystemCallFailure(Rdr00800::detail::SystemCall::Read, rdrtest::HangUpError(), 1000000);
       },
       Rdr00800::ReadStatus::HungUp},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cause);
    gPolls = 0;
    c.arrange();
    TScannerThread thread(Rdr00800::tpNormal, kWindow);
    thread.Start();
    std::this_thread::sleep_for(500ms);
    const auto terminatedAt = std::chrono::steady_clock::now();
    Stop(thread);
    Rdr00800::detail::ClearSystemCallFailures();
    Rdr00800::IdPortaOpt = kCom5;
    // Without the pause this would be many thousands; Terminate cuts the pause.
    EXPECT_GE(gPolls, 1);
    EXPECT_LE(gPolls, 50);
    EXPECT_LT(std::chrono::steady_clock::now() - terminatedAt, 5s);
    EXPECT_EQ(thread.LastStatus(), c.status);
  }
}

TEST_F(ScannerRelay, TwoThreadsOnOnePortDeliverTheCodeOnceAndBothEnd) {
  reader->Send("42\r");
  TScannerThread first(Rdr00800::tpNormal, kWindow);
  TScannerThread second(Rdr00800::tpNormal, kWindow);
  first.Start();
  second.Start();
  ASSERT_TRUE(window.ServeUntilEnters(1));
  window.ServeUntilEnters(2, 1500ms);  // time for a second, wrong delivery
  first.Terminate();
  second.Terminate();
  Stop(first);
  Stop(second);
  EXPECT_EQ(window.Typed(), "42\r\n");
  EXPECT_EQ(gFramesRead, 1);
}

TEST_F(ScannerRelay, HostWaitingForATerminatedThreadGetsTheLastCode) {
  std::atomic<bool> queued{false};
  Rdr00800::SetWakeMainThread([&] { queued = true; });
  reader->Send("LAST1\r");
  TScannerThread thread(Rdr00800::tpNormal, kWindow);
  thread.Start();
  // Not serving: the thread is left waiting in its synchronized call.
  while (!queued) std::this_thread::sleep_for(5ms);
  Stop(thread);
  EXPECT_EQ(window.Typed(), "LAST1\r\n");
}

TEST_F(ScannerRelay, FreeingAThreadWaitingInItsCallDeliversAndEnds) {
  std::atomic<bool> queued{false};
  Rdr00800::SetWakeMainThread([&] { queued = true; });
  reader->Send("FREE1\r");
  auto* thread = new TScannerThread(Rdr00800::tpNormal, kWindow);
  thread->Start();
  while (!queued) std::this_thread::sleep_for(5ms);
  delete thread;
  EXPECT_EQ(window.Typed(), "FREE1\r\n");
}

TEST_F(ScannerRelay, ErrorDuringAPollEndsTheThreadAndIsKept) {
  const std::string speed = Rdr00800::Velocidades[kSpeed9600];
  Rdr00800::Velocidades[kSpeed9600] = "fast";
  TScannerThread thread(Rdr00800::tpNormal, kWindow);
  thread.Start();
  thread.WaitFor();  // ends by itself
  Rdr00800::Velocidades[kSpeed9600] = speed;
  EXPECT_FALSE(thread.Terminated());
  ASSERT_TRUE(thread.FatalException());
  EXPECT_THROW(std::rethrow_exception(thread.FatalException()), std::invalid_argument);
}

TEST_F(ScannerRelay, HoldingThePortRelaysEachCodeOfOneWriteWithItsOwnEnter) {
  Rdr00800::ScannerHoldsPort = true;
  TScannerThread thread(Rdr00800::tpNormal, kWindow);
  thread.Start();
  reader->Send("AB12\r\n#dropped\rCD34\n");
  ASSERT_TRUE(window.ServeUntilEnters(2));
  EXPECT_EQ(thread.LastStatus(), Rdr00800::ReadStatus::Ok);
  const auto terminatedAt = std::chrono::steady_clock::now();
  Stop(thread);
  EXPECT_LT(std::chrono::steady_clock::now() - terminatedAt, 5s) << "Terminate cancels the wait for a code";
  EXPECT_EQ(window.Typed(), "AB12\nCD34\n");
  EXPECT_EQ(gPolls, 0);
}

TEST_F(ScannerRelay, AHoldingScannerFollowsItsPortAndEndsAtOnce) {
  constexpr int32_t kCom6 = 6;
  // COM6 names the same reader: only the trace tells the ports apart.
  Rdr00800::SetPortDevice("COM6", reader->DevicePath());
  std::atomic<bool> reopened{false};
  Rdr00800::SetTraceHandler([&](std::string_view line) {
    if (line.starts_with("session COM6: open")) reopened = true;
  });
  Rdr00800::ScannerHoldsPort = true;
  TScannerThread thread(Rdr00800::tpNormal, kWindow);
  thread.Start();
  reader->Send("OLD5\r");
  ASSERT_TRUE(window.ServeUntilEnters(1));
  Rdr00800::IdPortaOpt = kCom6;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!reopened && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(reopened) << "a change of IdPortaOpt reopens the session on the new port";
  reader->Send("NEW6\r");
  const bool relayed = window.ServeUntilEnters(2);
  // The scanner is back in a fresh wait for a code: Terminate cuts it short.
  const auto took = std::chrono::steady_clock::now();
  Stop(thread);
  const auto stopped = std::chrono::steady_clock::now() - took;
  Rdr00800::SetTraceHandler(nullptr);
  Rdr00800::SetPortDevice("COM6", "");
  EXPECT_TRUE(relayed);
  EXPECT_EQ(window.Typed(), "OLD5\nNEW6\n");
  EXPECT_LT(stopped, 150ms) << "well under the 250 ms wait for a code";
}

// Frames the reader cannot deliver in order within a second each, scripted.
std::mutex gScriptMutex;
std::deque<std::string> gScript;
OpticalPoll ScriptedPoll() {
  std::lock_guard lock(gScriptMutex);
  if (gScript.empty()) return {};
  OpticalPoll poll{gScript.front(), Rdr00800::ReadStatus::Ok};
  gScript.pop_front();
  return poll;
}

TEST_F(ScannerRelay, OnlyCodesBeginningWithAnAsciiLetterOrDigitAreRelayed) {
  {
    std::lock_guard lock(gScriptMutex);
    gScript = {"\r\n",
               " 123",
               "-123",
               "\xC9"
               "123",
               "",
               "\x7F",
               "/9",
               ":0",
               "@A",
               "[a",
               "`a",
               "{z",
               "0",
               "9x",
               "Az",
               "Z",
               "a",
               "z\xFF"};
  }
  Rdr00800::detail::SetOpticalPollSource(&ScriptedPoll);
  TScannerThread thread(Rdr00800::tpNormal, kWindow);
  thread.Start();
  ASSERT_TRUE(window.ServeUntilEnters(6));
  Stop(thread);
  EXPECT_EQ(window.Typed(), "0\n9x\nAz\nZ\na\nz\xFF\n");
}

}  // namespace
