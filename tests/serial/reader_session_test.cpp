// The reader session on pseudo-terminals: how it splits what a reader sends
// into codes, what it says while the port cannot be read, and how a wait ends.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "device/system_call_faults.h"
#include "rdr00800/Rdr00800.h"
#include "serial_test_support.h"
#include "support/pty_reader.h"
#include "support/simulated_reader.h"

namespace {

using namespace std::chrono_literals;
using Rdr00800::Framing;
using Rdr00800::ReaderSession;
using Rdr00800::ReadStatus;

constexpr auto kPatience = 10s;  // only a broken session waits this long

class ReaderSessionTest : public rdrtest::SerialTest {
 protected:
  ReaderSessionTest() { Rdr00800::SetPortDevice(kPort, reader_.DevicePath()); }

  // Every code the session hands out for what `sent` holds; the first comes
  // from a session that had the port open before the bytes were written.
  static std::vector<std::string> CodesOf(ReaderSession& session, rdrtest::PtyReader& reader, const std::string& sent,
                                          size_t expected) {
    session.NextCode(0ms);
    reader.Send(sent);
    std::vector<std::string> codes;
    while (codes.size() < expected) {
      auto code = session.NextCode(kPatience);
      if (!code) break;
      codes.push_back(std::move(*code));
    }
    // Nothing more: no empty code from a line end of two bytes.
    if (auto extra = session.NextCode(100ms)) codes.push_back(*extra);
    return codes;
  }

  rdrtest::PtyReader reader_;
};

TEST_F(ReaderSessionTest, SplitsWhatTheReaderSendsIntoCodes) {
  struct Case {
    const char* name;
    std::string sent;
    std::vector<std::string> codes;
    bool longCodeNoted = false;
    Framing framing = Framing::LineEnds;
  };
  const std::string longCode(5000, 'P');
  const Case cases[] = {
      {"two codes in one write", "AB12\r\nCD34\r\n", {"AB12", "CD34"}},
      {"a 200-byte code comes out whole", std::string(200, 'L') + "\r\n", {std::string(200, 'L')}},
      {"no line end: the quiet time ends it", "QUIET7", {"QUIET7"}},
      {"CR LF is one end", "A1\r\nB2\r\n", {"A1", "B2"}},
      {"LF CR is one end", "A1\n\rB2\n\r", {"A1", "B2"}},
      {"empty codes are skipped", "\r\n\r\n\nX9\r\r", {"X9"}},
      {"other bytes pass unchanged",
       std::string("\x02\xE9\t#z\x7F\x03\r", 8),
       {std::string("\x02\xE9\t#z\x7F\x03", 7)}},
      {"over 4096 bytes: 4096-byte pieces", longCode + "\r\n", {longCode.substr(0, 4096), longCode.substr(4096)}, true},
      {"STX/ETX: the markers left out",
       "\x02"
       "0102B0A5FDCB\x03\x02"
       "A1\x03",
       {"0102B0A5FDCB", "A1"},
       false,
       Framing::StxEtx},
      {"STX/ETX: CR LF inside dropped",
       "\x02"
       "3C00CE754C\r\nCB\r\n\x03",
       {"3C00CE754CCB"},
       false,
       Framing::StxEtx},
      {"STX/ETX: bytes outside a frame dropped",
       "noise\r\n\x02"
       "A1\x03junk\x03\x02"
       "B2\x03tail",
       {"A1", "B2"},
       false,
       Framing::StxEtx},
      {"STX/ETX: a frame a new STX cuts short is dropped",
       "\x02HALF\x02"
       "FULL\x03\x02\x03",
       {"FULL"},
       false,
       Framing::StxEtx},
      {"STX/ETX: no ETX, no code, however quiet", "\x02OPEN", {}, false, Framing::StxEtx},
      {"STX/ETX: over 4096 bytes: 4096-byte pieces",
       "\x02" + longCode + "\x03",
       {longCode.substr(0, 4096), longCode.substr(4096)},
       true,
       Framing::StxEtx},
      {"4096 bytes come out whole", longCode.substr(0, 4096) + "\r\n", {longCode.substr(0, 4096)}},
      {"4097 bytes: a piece and a byte", longCode.substr(0, 4097) + "\r\n", {longCode.substr(0, 4096), "P"}, true},
  };
  for (const Case& c : cases) {
    ReaderSession session(kPort, 9600);
    session.SetFraming(c.framing);
    EXPECT_EQ(CodesOf(session, reader_, c.sent, c.codes.size()), c.codes) << c.name;
    EXPECT_EQ(session.Status(), ReadStatus::Ok) << c.name;
    EXPECT_EQ(session.StatusMessage().find("4096-byte pieces") != std::string::npos, c.longCodeNoted)
        << c.name << ": " << session.StatusMessage();
  }
}

TEST_F(ReaderSessionTest, ARepeatWithinTheHoldOfTheLastArrivalIsNotHandedOut) {
  struct Step {
    std::chrono::milliseconds pause;  // before the bytes are sent
    const char* bytes;
  };
  struct Case {
    const char* name;
    std::chrono::milliseconds hold;
    std::vector<Step> steps;
    std::vector<std::string> codes;
  };
  // A reader repeats a card every 65 ms while it lies there; the hold is far
  // longer, so only a stalled machine could stretch a repeat past it.
  const std::vector<Step> heldOneSecond(16, Step{65ms, "CARD1\r"});
  const Case cases[] = {
      {"a card held for longer than the hold is one code", 500ms, heldOneSecond, {"CARD1"}},
      {"back after the hold: a new code",
       500ms,
       {{0ms, "CARD1\r"}, {65ms, "CARD1\r"}, {900ms, "CARD1\r"}},
       {"CARD1", "CARD1"}},
      {"another card within the hold",
       500ms,
       {{0ms, "CARD1\r"}, {65ms, "CARD2\r"}, {65ms, "CARD1\r"}},
       {"CARD1", "CARD2", "CARD1"}},
      {"hold 0: every code",
       0ms,
       {{0ms, "CARD1\r"}, {65ms, "CARD1\r"}, {65ms, "CARD1\r"}},
       {"CARD1", "CARD1", "CARD1"}},
  };
  for (const Case& c : cases) {
    ReaderSession session(kPort, 9600);
    session.SetRepeatHold(c.hold);
    session.NextCode(0ms);
    std::atomic<bool> sent = false;
    std::thread sender([&] {
      for (const Step& step : c.steps) {
        std::this_thread::sleep_for(step.pause);
        reader_.Send(step.bytes);
      }
      sent = true;
    });
    // Read all along, so that each code arrives when it is sent.
    std::vector<std::string> codes;
    while (!sent) {
      if (auto code = session.NextCode(50ms)) codes.push_back(*code);
    }
    sender.join();
    while (auto code = session.NextCode(200ms)) codes.push_back(*code);
    EXPECT_EQ(codes, c.codes) << c.name;
  }
}

TEST_F(ReaderSessionTest, BytesThatArriveBetweenCallsWaitInOrder) {
  ReaderSession session(kPort, 9600);
  reader_.Send("FIRST1\r");
  ASSERT_EQ(session.NextCode(kPatience), "FIRST1");
  for (const char* code : {"SECOND2\r", "THIRD3\r\n", "FOURTH4\n"}) reader_.Send(code);
  for (const char* code : {"SECOND2", "THIRD3", "FOURTH4"}) EXPECT_EQ(session.NextCode(kPatience), code);
}

TEST_F(ReaderSessionTest, AOneShotPollOfAHeldPortIsBusyAndNamesThisProcess) {
  ReaderSession session(kPort, 9600);
  session.NextCode(0ms);
  ASSERT_EQ(session.Status(), ReadStatus::Ok) << session.StatusMessage();
  EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("2", kPort, 9600), "");
  EXPECT_EQ(Rdr00800::LastReadStatus(), ReadStatus::Busy);
  EXPECT_NE(Rdr00800::LastReadMessage().find("process " + std::to_string(::getpid())), std::string::npos)
      << Rdr00800::LastReadMessage();
  session.Close();
  EXPECT_EQ(Rdr00800::CheckPortOpens(kPort), ReadStatus::Ok) << "Close releases the port";
}

TEST_F(ReaderSessionTest, CancelFromAnotherThreadEndsTheWait) {
  struct Case {
    const char* name;
    const char* port;
  };
  // A port that is open, and one that cannot be, where the session waits to try again.
  const Case cases[] = {{"port open", kPort}, {"port missing", "/dev/rdr-session-test-missing"}};
  for (const Case& c : cases) {
    ReaderSession session(c.port, 9600);
    // Soon after the first attempt, long before the next.
    const rdrtest::CancelledWait wait = rdrtest::CancelAfter(session, 20ms);
    EXPECT_EQ(wait.code, std::nullopt) << c.name;
    EXPECT_LT(wait.afterCancel, rdrtest::kAtOnce) << c.name;
    reader_.Send("AFTER1\r");
    if (c.port == kPort) {
      EXPECT_EQ(session.NextCode(kPatience), "AFTER1") << c.name << ": a cancel ends one wait";
    }
  }
}

TEST_F(ReaderSessionTest, BytesQueuedWhenTheReaderHungUpGoOutBeforeTheHangUp) {
  // A pty empties its queue when it hangs up: the read after the bytes fails instead.
  ReaderSession session(kPort, 9600);
  session.NextCode(0ms);
  Rdr00800::detail::InjectSystemCallFailure(Rdr00800::detail::SystemCall::Read, rdrtest::HangUpError(), 2, 1);
  reader_.Send("LAST1\r");
  EXPECT_EQ(session.NextCode(kPatience), "LAST1");
  EXPECT_EQ(session.NextCode(0ms), std::nullopt);
  EXPECT_EQ(session.Status(), ReadStatus::HungUp) << session.StatusMessage();
}

TEST_F(ReaderSessionTest, AReaderPluggedInAgainBehindTheSameLinkIsReadAgain) {
  const std::string link = "/tmp/rdr-session-test-" + std::to_string(::getpid());
  Rdr00800::SetPortDevice(kPort, link);
  // A quiet time longer than the test: a code without its line end stays pending.
  ReaderSession session(kPort, 9600, kPatience);
  {
    rdrtest::PtyReader first(link);
    first.Send("BEFORE1\r");
    ASSERT_EQ(session.NextCode(kPatience), "BEFORE1");
    first.Send("CUT");  // a code the hang-up cuts short
    EXPECT_EQ(session.NextCode(100ms), std::nullopt);
    first.HangUp();
    EXPECT_EQ(session.NextCode(0ms), std::nullopt);
    EXPECT_EQ(session.Status(), ReadStatus::HungUp);
    EXPECT_NE(session.StatusMessage().find("went away"), std::string::npos) << session.StatusMessage();
  }
  rdrtest::PtyReader second(link);
  second.Send("AFTER2\r");
  EXPECT_EQ(session.NextCode(kPatience), "AFTER2") << "the cut code is not joined to the next";
  EXPECT_EQ(session.Status(), ReadStatus::Ok);
}

}  // namespace
