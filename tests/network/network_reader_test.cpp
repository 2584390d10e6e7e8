// Readers behind a serial device server: polls through a real ser2net serving
// a pty reader, and a scripted server for the faults ser2net does not make.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <thread>
#include <vector>

#include "rdr00800/Rdr00800.h"
#include "serial/serial_test_support.h"
#include "support/pty_reader.h"
#include "support/ser2net_server.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Rdr00800::ReadStatus;

struct Result {
  std::string frame;
  ReadStatus status = ReadStatus::Ok;
  std::string message;
};

class NetworkReaderTest : public rdrtest::SerialTest {
 protected:
  ~NetworkReaderTest() override { Rdr00800::SetTraceHandler(nullptr); }

  Result Poll(const std::string& path, int32_t baud = 9600) {
    Rdr00800::SetPortDevice(kPort, path);
    Result result;
    result.frame = Rdr00800::GetProximidadeReaderValue("2", kPort, baud);
    result.status = Rdr00800::LastReadStatus();
    result.message = Rdr00800::LastReadMessage();
    return result;
  }
};

class Ser2netTest : public NetworkReaderTest {
 protected:
  void SetUp() override {
    if (!rdrtest::Ser2netServer::Installed()) GTEST_SKIP() << "ser2net is not installed (scripts/setup.sh installs it)";
    server_.emplace(reader_.DevicePath());
  }
  rdrtest::PtyReader reader_;
  std::optional<rdrtest::Ser2netServer> server_;
};

TEST_F(Ser2netTest, BothAccepterKindsGiveTheFrameWithFfAndCrUnchanged) {
  const std::string frame = "A\xff\rB\xff\xff\r\n";
  // ser2net frees a device some 50 ms after its client left: the raw
  // accepter gets a reader of its own.
  rdrtest::PtyReader rawReader;
  rdrtest::Ser2netServer rawServer(rawReader.DevicePath());
  for (auto [reader, path] :
       {std::pair{&reader_, server_->Rfc2217Path()}, std::pair{&rawReader, rawServer.TcpPath()}}) {
    reader->SendAfter(100ms, frame);
    const Result result = Poll(path);
    EXPECT_EQ(result.frame, frame) << path;
    EXPECT_EQ(result.status, ReadStatus::Ok) << path << ": " << result.message;
  }
}

// Each text met with the other accepter: the mistake is named with the text
// that fits, instead of Telnet's bytes read as a frame.
TEST_F(Ser2netTest, ATextMetWithTheOtherAccepterNamesTheRightText) {
  // A server of its own for the raw accepter, as ser2net frees the device
  // only some 50 ms after a client left.
  rdrtest::PtyReader rawReader;
  rdrtest::Ser2netServer rawServer(rawReader.DevicePath());
  const std::string telnetPort = server_->Rfc2217Path().substr(std::string("rfc2217://").size());
  const std::string rawPort = rawServer.TcpPath().substr(std::string("tcp://").size());
  struct Case {
    std::string path;
    ReadStatus status;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"tcp://" + telnetPort,
       ReadStatus::NotASerialPort,
       {"the server speaks Telnet", "name it rfc2217://" + telnetPort}},
      {"rfc2217://" + rawPort, ReadStatus::NothingInTime, {"never answered Telnet", "name it tcp://" + rawPort}},
  };
  std::vector<std::string> traced;
  Rdr00800::SetTraceHandler([&](std::string_view line) { traced.emplace_back(line); });
  for (const Case& c : cases) {
    const Result result = Poll(c.path);
    EXPECT_EQ(result.frame, "") << c.path;
    EXPECT_EQ(result.status, c.status) << c.path << ": " << result.message;
    for (const std::string& words : c.words) {
      EXPECT_NE(result.message.find(words), std::string::npos) << c.path << ": " << result.message;
    }
  }
  Rdr00800::SetTraceHandler(nullptr);
  const auto saying = [&](std::string_view words) {
    return std::count_if(traced.begin(), traced.end(),
                         [&](const std::string& line) { return line.find(words) != std::string::npos; });
  };
  EXPECT_GE(saying("the first bytes are Telnet negotiation"), 1);
  EXPECT_GE(saying("never answered Telnet"), 1);
}

TEST_F(Ser2netTest, TheServerSetsThePtyToTheSpeedThePollAsked) {
  // Read back once the server answered, which it does after setting the
  // line, and while the poll holds the port: the server may put the line
  // back when the connection ends.
  speed_t speed = 0;
  Rdr00800::SetTraceHandler([&](std::string_view line) {
    if (line.find("the server set the line") == std::string_view::npos) return;
    termios settings{};
    if (::tcgetattr(reader_.ControllingFd(), &settings) == 0) speed = ::cfgetospeed(&settings);
  });
  reader_.SendAfter(200ms, "CODE\r\n");
  EXPECT_EQ(Poll(server_->Rfc2217Path(), 19200).frame, "CODE\r\n");
  EXPECT_EQ(speed, static_cast<speed_t>(B19200));
}

TEST_F(Ser2netTest, ASecondClientGetsBusyWithTheServersWords) {
  // A first client holds the port: ser2net has served it once it sent its
  // own options.
  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(std::stoi(server_->Rfc2217Path().substr(20))));
  ASSERT_EQ(::connect(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  char first = 0;
  ASSERT_EQ(::recv(holder, &first, 1, 0), 1);
  for (const auto& [path, words] : {std::pair{server_->Rfc2217Path(), "\"Port already in use\""},
                                    std::pair{server_->TcpPath(), "\"Port's device already in use\""}}) {
    const Result result = Poll(path);
    EXPECT_EQ(result.status, ReadStatus::Busy) << path;
    EXPECT_NE(result.message.find(words), std::string::npos) << result.message;
    // A session takes the server's refusal for what it is, not for a code.
    Rdr00800::ReaderSession session(path, 9600);
    EXPECT_EQ(session.NextCode(200ms), std::nullopt) << path;
    EXPECT_EQ(session.Status(), ReadStatus::Busy) << path << ": " << session.StatusMessage();
  }
  ::close(holder);
}

TEST_F(Ser2netTest, AStoppedServerIsNoSuchDeviceAndAKilledConnectionHungUp) {
  Rdr00800::SetTraceHandler([&](std::string_view line) {
    if (line.find("negotiate BINARY") != std::string_view::npos) server_->Kill();
  });
  Result result = Poll(server_->Rfc2217Path());
  EXPECT_EQ(result.status, ReadStatus::HungUp) << result.message;
  result = Poll(server_->Rfc2217Path());
  EXPECT_EQ(result.status, ReadStatus::NoSuchDevice);
  EXPECT_NE(result.message.find("127.0.0.1 port " + server_->Rfc2217Path().substr(20)), std::string::npos)
      << result.message;
  EXPECT_NE(result.message.find("refused"), std::string::npos) << result.message;
}

TEST_F(NetworkReaderTest, AMissingDeviceBehindTheServerIsNoSuchDevice) {
  if (!rdrtest::Ser2netServer::Installed()) GTEST_SKIP() << "ser2net is not installed";
  rdrtest::TempDir dir;
  rdrtest::Ser2netServer server((dir.Path() / "unplugged").string());
  for (const std::string& path : {server.Rfc2217Path(), server.TcpPath()}) {
    const Result result = Poll(path);
    EXPECT_EQ(result.status, ReadStatus::NoSuchDevice) << path;
    EXPECT_NE(result.message.find("\"Device open failure: Value or file not found\""), std::string::npos)
        << result.message;
  }
}

// A server that sends `script` to its one client, then closes the
// connection `pause` later or keeps it until the client closes it; or one
// that holds its `conversation` with the client.
class ScriptedServer {
 public:
  ScriptedServer(std::string script, bool close, std::chrono::milliseconds pause = 0ms)
      : ScriptedServer([script = std::move(script), close, pause](int client) {
          [[maybe_unused]] const ssize_t sent = ::send(client, script.data(), script.size(), MSG_NOSIGNAL);
          std::this_thread::sleep_for(pause);
          std::array<char, 256> discard;
          while (!close && ::recv(client, discard.data(), discard.size(), 0) > 0) {
          }
        }) {}
  explicit ScriptedServer(std::function<void(int client)> conversation)
      : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, conversation = std::move(conversation)] {
      const int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      conversation(client);
      ::close(client);
    });
  }
  ~ScriptedServer() {
    ::shutdown(listener_, SHUT_RDWR);  // ends an accept nobody came to
    thread_.join();
    ::close(listener_);
  }
  std::string Path() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

 private:
  int listener_;
  uint16_t port_ = 0;
  std::thread thread_;
};

TEST_F(NetworkReaderTest, FaultsOfServersAsTheReadSeesThem) {
  const std::string refuse4800 = "\xff\xfa\x2c\x65\x00\x00\x12\xc0\xff\xf0"s;
  const std::string cutShort = "\xff\xfa\x2c\x65\x00\x00\xff\xfb\x01"s;
  struct Case {
    const char* name;
    std::string script;
    bool close;
    ReadStatus status;
    std::string frame;
    std::string inMessage;
  };
  const Case cases[] = {
      {"no answers to any option", "CODE42\r\n", false, ReadStatus::Ok, "CODE42\r\n", ""},
      {"a refused speed", refuse4800 + "CODE42\r\n", false, ReadStatus::LineRefused, "", "answered 4800 bit/s"},
      {"a subnegotiation cut short", cutShort + "CODE42\r\n", false, ReadStatus::Ok, "CODE42\r\n", ""},
      {"CR NUL before BINARY", "A\r\0B\r\n"s, false, ReadStatus::Ok, "A\rB\r\n", ""},
      {"a flood without line end", std::string(5000, 'F'), false, ReadStatus::Ok, std::string(51, 'F'), ""},
      {"a line of its own and a close", "Not today\r\n", true, ReadStatus::IoError, "", "said \"Not today\""},
      {"a close before any byte", "", true, ReadStatus::HungUp, "", "closed the connection"},
  };
  for (const Case& test : cases) {
    ScriptedServer server(test.script, test.close);
    const Result result = Poll(server.Path());
    EXPECT_EQ(result.status, test.status) << test.name << ": " << result.message;
    EXPECT_EQ(result.frame, test.frame) << test.name;
    EXPECT_NE(result.message.find(test.inMessage), std::string::npos) << test.name << ": " << result.message;
  }
}

TEST_F(NetworkReaderTest, ASessionTakesARefusalLineWhoseCloseComesLaterForNoCode) {
  ScriptedServer server("Port already in use\r\n", true, 20ms);
  Rdr00800::ReaderSession session(server.Path(), 9600);
  // Returns before the session tries the port again, 250 ms after the refusal.
  EXPECT_EQ(session.NextCode(150ms), std::nullopt);
  EXPECT_EQ(session.Status(), ReadStatus::Busy) << session.StatusMessage();
}

TEST_F(NetworkReaderTest, CancelEndsASessionsWaitOnASilentServerAtOnce) {
  ScriptedServer server("", false);
  Rdr00800::ReaderSession session(server.Path(), 9600);
  const rdrtest::CancelledWait wait = rdrtest::CancelAfter(session, 100ms);
  EXPECT_EQ(wait.code, std::nullopt);
  EXPECT_EQ(session.Status(), ReadStatus::Ok) << session.StatusMessage();
  EXPECT_LT(wait.afterCancel, rdrtest::kAtOnce);
}

TEST_F(NetworkReaderTest, AConnectWithoutAnswerEndsWithinThePollsSecond) {
  // A listener whose accept queue is full drops further connection requests
  // unanswered, even with SYN cookies: their client waits for an answer.
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const int queued = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(queued, reinterpret_cast<sockaddr*>(&address), size), 0);
  const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const bool answered =
      ::connect(probe, reinterpret_cast<sockaddr*>(&address), size) == 0 || errno != EINPROGRESS || [&] {
        pollfd wait{probe, POLLOUT, 0};
        return ::poll(&wait, 1, 200) > 0;
      }();
  ::close(probe);
  if (answered) {
    for (const int fd : {queued, listener}) ::close(fd);
    GTEST_SKIP() << "this kernel answers connections beyond a full accept queue";
  }
  Result result;
  const auto took =
      rdrtest::Elapsed([&] { result = Poll("tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port))); });
  for (const int fd : {queued, listener}) ::close(fd);
  EXPECT_EQ(result.status, ReadStatus::NoSuchDevice) << result.message;
  EXPECT_NE(result.message.find("no answer"), std::string::npos) << result.message;
  EXPECT_GE(took, 1000ms - rdrtest::kTimerEarliness);
  EXPECT_LT(took, 2000ms);
}

TEST_F(NetworkReaderTest, CodesFromAServerUsingNagleComeWithoutWaitingForDelayedAcks) {
  // Each round the server asks something the session answers, which puts its
  // side into delayed acknowledgements; then it sends a line answer and a code
  // in two writes, the second held by Nagle until the first is acknowledged.
  constexpr int kRounds = 8;
  std::array<std::chrono::steady_clock::time_point, kRounds> sentAt;
  ScriptedServer server([&](int client) {
    std::array<char, 256> reply;
    for (int round = 0; round < kRounds; ++round) {
      const std::string doEcho = "\xff\xfd\x01"s, baudAnswer = "\xff\xfa\x2c\x65\x00\x00\x25\x80\xff\xf0"s;
      const std::string code = "CODE" + std::to_string(round) + "\r";
      ::send(client, doEcho.data(), doEcho.size(), MSG_NOSIGNAL);
      if (::recv(client, reply.data(), reply.size(), 0) <= 0) return;
      sentAt[static_cast<size_t>(round)] = std::chrono::steady_clock::now();
      ::send(client, baudAnswer.data(), baudAnswer.size(), MSG_NOSIGNAL);
      ::send(client, code.data(), code.size(), MSG_NOSIGNAL);
    }
    while (::recv(client, reply.data(), reply.size(), 0) > 0) {
    }
  });
  Rdr00800::ReaderSession session(server.Path(), 9600);
  std::chrono::steady_clock::duration stalled{};
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_EQ(session.NextCode(2s), "CODE" + std::to_string(round)) << session.StatusMessage();
    stalled += std::chrono::steady_clock::now() - sentAt[static_cast<size_t>(round)];
  }
  session.Close();
  EXPECT_LT(stalled, kRounds * 10ms) << "a delayed acknowledgement holds each code 40 ms";
}

TEST_F(NetworkReaderTest, MalformedTextsAndUnknownNamesAreNoSuchDevice) {
  struct Case {
    const char* path;
    const char* words;
    bool malformed;  // NetworkPortProblem says so before any poll
  };
  const Case cases[] = {
      {"rfc2217://", "no host", true},
      {"tcp://localhost", "no port", true},
      {"tcp://localhost:0", "port 0 is out of range 1-65535", true},
      {"tcp://localhost:65536", "port 65536 is out of range 1-65535", true},
      {"rfc2217://127.0.0.1:99999999999999999999", "is out of range 1-65535", true},
      {"tcp://localhost:4001x", "port \"4001x\" is not a number", true},
      {"tcp://[::1:2000", "IPv6", true},
      {"rfc2217://::1:2000", "brackets", true},
      {"rfc2217://a b:1", "no host", true},
      {"tcp://localhost:1", "port 1 (Connection refused)", false},
  };
  for (const Case& c : cases) {
    const Result result = Poll(c.path);
    EXPECT_EQ(result.status, ReadStatus::NoSuchDevice) << c.path;
    EXPECT_NE(result.message.find(c.words), std::string::npos) << c.path << ": " << result.message;
    const std::string problem = Rdr00800::NetworkPortProblem(c.path);
    EXPECT_EQ(!problem.empty(), c.malformed) << c.path << ": " << problem;
    if (c.malformed) EXPECT_NE(problem.find(c.words), std::string::npos) << c.path << ": " << problem;
  }
  EXPECT_EQ(Rdr00800::NetworkPortProblem("COM3"), "");
}

}  // namespace
