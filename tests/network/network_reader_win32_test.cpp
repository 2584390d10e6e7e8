// Network readers through Winsock under Wine: test_windows.sh serves COM1's
// pseudo-terminal with ser2net on 127.0.0.1 and names its accepter in
// RDR00800_SER2NET_RFC2217; the reader writes into COM2.
#include <cstdlib>
#include <string>

#include "network/name_lookup_hold.h"
#include "rdr00800/Rdr00800.h"
#include "serial/serial_test_support.h"
#include "support/simulated_reader.h"

namespace {

using namespace std::chrono_literals;
using Rdr00800::ReadStatus;

class NetworkReaderWin32Test : public rdrtest::SerialTest {};

TEST_F(NetworkReaderWin32Test, APollThroughSer2netGetsTheFrameAndAClosedPortIsNoSuchDevice) {
  const char* server = std::getenv("RDR00800_SER2NET_RFC2217");
  if (!server) GTEST_SKIP() << "no ser2net: run the suite from test_windows.sh";
  const auto reader = rdrtest::NewSimulatedReader();
  Rdr00800::SetPortDevice(kPort, server);
  reader->SendAfter(200ms, "A\xff\rB\r\n");
  EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("2", kPort, 9600), "A\xff\rB\r\n");
  EXPECT_EQ(Rdr00800::LastReadStatus(), ReadStatus::Ok) << Rdr00800::LastReadMessage();

  // Port 1 on loopback: nothing listens there.
  Rdr00800::SetPortDevice(kPort, "rfc2217://127.0.0.1:1");
  EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("2", kPort, 9600), "");
  EXPECT_EQ(Rdr00800::LastReadStatus(), ReadStatus::NoSuchDevice);
  EXPECT_NE(Rdr00800::LastReadMessage().find("127.0.0.1 port 1"), std::string::npos) << Rdr00800::LastReadMessage();
}

// The lookup runs on a thread of its own that the poll stops waiting for at
// the end of its second, and that finishes later on its own.
TEST_F(NetworkReaderWin32Test, ANameTheResolverDoesNotAnswerEndsThePollWithinItsSecond) {
  // Port 1 on loopback: once the name resolves, the connect fails at once.
  Rdr00800::SetPortDevice(kPort, "rfc2217://localhost:1");
  Rdr00800::detail::HoldNameLookups();
  std::string frame = "unset";
  const auto took = rdrtest::Elapsed([&] { frame = Rdr00800::GetProximidadeReaderValue("2", kPort, 9600); });
  Rdr00800::detail::ReleaseNameLookups();
  EXPECT_EQ(frame, "");
  EXPECT_LT(took, 1900ms);
  EXPECT_EQ(Rdr00800::LastReadStatus(), ReadStatus::NoSuchDevice);
  EXPECT_NE(Rdr00800::LastReadMessage().find("no answer from the resolver for localhost within the second"),
            std::string::npos)
      << Rdr00800::LastReadMessage();

  EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("2", kPort, 9600), "");
  EXPECT_NE(Rdr00800::LastReadMessage().find("port 1"), std::string::npos) << Rdr00800::LastReadMessage();
}

}  // namespace
