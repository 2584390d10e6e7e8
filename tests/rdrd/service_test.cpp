// rdrd end to end: the program against simulated readers on pseudo-terminals
// (one through ser2net), with real SSE and WebSocket clients.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "rdr00800/Rdr00800.h"
#include "rdrd_harness.h"
#include "support/pty_reader.h"
#include "support/ser2net_server.h"
#include "support/test_kit.h"

namespace rdrtest {
namespace {

constexpr const char* kToken = "s3cret-T0ken";
constexpr const char* kOrigin = "https://pos.example";

nlohmann::json Parse(const std::optional<std::string>& text) {
  return text ? nlohmann::json::parse(*text) : nlohmann::json();
}

// Skips the reader status events; the next code event's JSON.
std::optional<std::string> NextCode(auto& client) {
  for (;;) {
    auto event = client.Next();
    if (!event || Parse(event)["type"] == "code") return event;
  }
}

class RdrdTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = (dir_.Path() / name).string();
    std::ofstream(path) << text;
    return path;
  }
  std::string TokenFile() { return Write("token", std::string(kToken) + "\n"); }
  static std::string ReaderTable(const std::string& id, const std::string& port) {
    return "[[reader]]\nid = \"" + id + "\"\nport = \"" + port + "\"\n";
  }
  TempDir dir_{"rdrd-test"};
};

TEST_F(RdrdTest, CodesReachWebSocketAndSseClientsByteIdenticalAndInOrder) {
  PtyReader front;
  PtyReader behindSer2net;
  std::vector<std::string> arguments = {
      "--reader", "front=" + front.DevicePath(), "--listen", "127.0.0.1:0", "--token-file", TokenFile()};
  std::optional<Ser2netServer> ser2net;
  if (Ser2netServer::Installed()) {
    ser2net.emplace(behindSer2net.DevicePath());
    arguments.insert(arguments.end(), {"--reader", "gate=" + ser2net->Rfc2217Path()});
  }
  Rdrd rdrd(arguments);
  ASSERT_TRUE(
      rdrd.WaitForReadersUp(ser2net ? std::vector<std::string>{"front", "gate"} : std::vector<std::string>{"front"}));
  WebSocketClient ws(rdrd.Port(), "/v1/ws?since=0", {"rdr.v1", std::string("rdr.token.") + kToken});
  EXPECT_EQ(ws.Protocol(), "rdr.v1");
  SseClient sse(rdrd.Port(), "/v1/events", std::string("Authorization: Bearer ") + kToken + "\r\nLast-Event-ID: 0\r\n");
  ASSERT_EQ(sse.Status(), 200);

  std::vector<std::string> sent;
  for (int i = 0; i < 12; ++i) {
    const bool viaSer2net = ser2net && i % 2 == 1;
    sent.push_back("C\xe9" + std::to_string(i));
    (viaSer2net ? behindSer2net : front).Send(sent.back() + "\r\n");
    // Across two readers the order is the order of arrival: one at a time.
    const auto viaWebSocket = NextCode(ws);
    ASSERT_TRUE(viaWebSocket) << "code " << i;
    EXPECT_EQ(viaWebSocket, NextCode(sse));
    const auto event = Parse(viaWebSocket);
    EXPECT_EQ(event["reader"], viaSer2net ? "gate" : "front");
    EXPECT_EQ(event["code"], "C\xc3\xa9" + std::to_string(i));
    EXPECT_EQ(event["hex"], i < 10 ? "43e93" + std::to_string(i) : "43e931" + std::to_string(30 + i % 10));
    EXPECT_EQ(event["server_id"],
              nlohmann::json::parse(Get(rdrd.Port(), "/v1/info?token=" + std::string(kToken)).body)["server_id"]);
    EXPECT_TRUE(std::string(event["ts"]).ends_with("Z"));
  }
  const auto readers =
      Parse(Get(rdrd.Port(), "/v1/readers", std::string("Authorization: Bearer ") + kToken + "\r\n").body);
  EXPECT_EQ(readers["readers"][0]["codes"], ser2net ? 6 : 12);
}

TEST_F(RdrdTest, ReplayFromTheBacklogAndTheGapBeforeIt) {
  PtyReader front;
  Rdrd rdrd({"--config", Write("rdrd.toml", "listen = [\"127.0.0.1:0\"]\nbacklog = 3\n" +
                                                ReaderTable("front", front.DevicePath()))});
  ASSERT_TRUE(rdrd.WaitForReadersUp({"front"}));
  SseClient live(rdrd.Port(), "/v1/events");
  ASSERT_EQ(live.Status(), 200);  // from now on it gets every event
  for (int i = 0; i < 5; ++i) {
    front.Send("code" + std::to_string(i) + "\r");
    ASSERT_TRUE(NextCode(live));
  }
  const auto info = Parse(Get(rdrd.Port(), "/v1/info").body);
  const uint64_t last = info["last_seq"];
  const std::string boot = info["boot"];
  struct Case {
    std::string target;
    std::string fields;
    std::string gapReason;  // "" for none
    uint64_t firstSeq;
  };
  const Case cases[] = {
      {"/v1/events", "Last-Event-ID: " + std::to_string(last - 1) + "\r\n", "", last},
      {"/v1/events?since=" + std::to_string(last - 2), "", "", last - 1},
      {"/v1/events?since=1", "", "backlog", last - 2},
      {"/v1/events?since=" + std::to_string(last + 5), "", "boot", last - 2},
      {"/v1/events?since=" + std::to_string(last - 1) + "&boot=0123", "", "boot", last - 2},
      {"/v1/events?since=" + std::to_string(last - 1) + "&boot=" + boot, "", "", last},
  };
  for (const auto& row : cases) {
    SseClient client(rdrd.Port(), row.target, row.fields);
    auto event = Parse(client.Next());
    if (!row.gapReason.empty()) {
      EXPECT_EQ(event["type"], "gap") << row.target;
      EXPECT_EQ(event["reason"], row.gapReason) << row.target;
      event = Parse(client.Next());
    }
    EXPECT_EQ(event["seq"], row.firstSeq) << row.target;
  }
  WebSocketClient ws(rdrd.Port(), "/v1/ws?since=" + std::to_string(last - 1));
  EXPECT_EQ(Parse(ws.Next())["seq"], last);
}

TEST_F(RdrdTest, RefusalsEachWithItsStatus) {
  Rdrd rdrd({"--config", Write("rdrd.toml", "listen = [\"127.0.0.1:0\"]\nmax_clients = 3\ntoken_file = \"" +
                                                TokenFile() + "\"\nallowed_origins = [\"" + kOrigin + "\"]\n")});
  const std::string port = std::to_string(rdrd.Port());
  const std::string bearer = std::string("Authorization: Bearer ") + kToken + "\r\n";
  const std::string host = "Host: 127.0.0.1:" + port + "\r\n";
  struct Case {
    const char* what;
    std::string request;
    int status;
    std::string field;  // expected in the answer's head
  };
  const Case cases[] = {
      {"rebound name", "GET /v1/health HTTP/1.1\r\nHost: pos.attacker.example:" + port + "\r\n" + bearer + "\r\n", 421,
       ""},
      {"other port", "GET /v1/health HTTP/1.1\r\nHost: localhost:1\r\n" + bearer + "\r\n", 421, ""},
      {"foreign origin", "GET /v1/health HTTP/1.1\r\n" + host + "Origin: https://evil.example\r\n" + bearer + "\r\n",
       403, ""},
      {"no token", "GET /v1/health HTTP/1.1\r\n" + host + "\r\n", 401, ""},
      {"wrong token", "GET /v1/health HTTP/1.1\r\n" + host + "Authorization: Bearer s3cret-T0keN\r\n\r\n", 401, ""},
      {"wrong subprotocol token",
       "GET /v1/ws HTTP/1.1\r\n" + host +
           "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: "
           "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Protocol: rdr.v1, rdr.token.x\r\n\r\n",
       401, ""},
      {"oversized head", "GET /v1/health HTTP/1.1\r\n" + host + "X-Pad: " + std::string(9000, 'a') + "\r\n\r\n", 431,
       ""},
      {"malformed", "GET /v1/health HTTP/1.1\r\nHost " + port + "\r\n\r\n", 400, ""},
      {"token in the query", "GET /v1/health?token=" + std::string(kToken) + " HTTP/1.1\r\n" + host + "\r\n", 200, ""},
      {"allowed origin", "GET /v1/health HTTP/1.1\r\n" + host + "Origin: " + kOrigin + "\r\n" + bearer + "\r\n", 200,
       "Access-Control-Allow-Origin: " + std::string(kOrigin) + "\r\nVary: Origin"},
      {"preflight without token",
       "OPTIONS /v1/events HTTP/1.1\r\n" + host + "Origin: " + kOrigin +
           "\r\nAccess-Control-Request-Method: GET\r\nAccess-Control-Request-Private-Network: true\r\n\r\n",
       204, "Access-Control-Allow-Private-Network: true"},
  };
  for (const auto& row : cases) {
    const auto reply = SendRaw(rdrd.Port(), row.request);
    EXPECT_EQ(reply.status, row.status) << row.what;
    EXPECT_NE(reply.head.find(row.field), std::string::npos) << row.what << "\n" << reply.head;
  }
  // Three streams fill max_clients; the fourth connection is refused.
  std::vector<std::unique_ptr<SseClient>> streams;
  for (int i = 0; i < 3; ++i) {
    streams.push_back(std::make_unique<SseClient>(rdrd.Port(), "/v1/events", bearer));
    ASSERT_EQ(streams.back()->Status(), 200);
  }
  EXPECT_EQ(Get(rdrd.Port(), "/v1/health", bearer).status, 503);
  streams.pop_back();
  EXPECT_TRUE(rdrd.WaitForLog("disconnected"));
  EXPECT_EQ(Get(rdrd.Port(), "/v1/health", bearer).status, 200);
  // The token never reaches the log.
  rdrd.Process().Signal(SIGTERM);
  rdrd.Process().Wait();
  EXPECT_EQ(rdrd.Process().ErrorOutput().find(kToken), std::string::npos);
}

TEST_F(RdrdTest, ASlowClientIsCutOffWhileAFastOneKeepsEveryEvent) {
  PtyReader front;
  Rdrd rdrd({"--reader", "front=" + front.DevicePath(), "--listen", "127.0.0.1:0"});
  ASSERT_TRUE(rdrd.WaitForReadersUp({"front"}));
  SseClient slow(rdrd.Port(), "/v1/events", "", 4096);
  ASSERT_EQ(slow.Status(), 200);
  WebSocketClient fast(rdrd.Port(), "/v1/ws");
  // Each event carries 3000 bytes twice (text and hex): 300 of them are far
  // more than the 1 MiB a client may leave waiting.
  const std::string body(2990, 'x');
  for (int i = 0; i < 300; ++i) {
    front.Send(body + std::to_string(1000 + i) + "\r");
    const auto event = Parse(NextCode(fast));
    ASSERT_EQ(event["code"], body + std::to_string(1000 + i));
  }
  EXPECT_TRUE(slow.Ended(5s));
  const auto metrics = Get(rdrd.Port(), "/metrics").body;
  const size_t dropped = metrics.find("rdr_events_dropped_total{reason=\"slow_client\"} ");
  ASSERT_NE(dropped, std::string::npos) << metrics;
  EXPECT_GT(std::stoul(metrics.substr(dropped + 47)), 50u) << metrics;
  EXPECT_NE(metrics.find("rdr_clients{transport=\"ws\"} 1\n"), std::string::npos) << metrics;
}

TEST_F(RdrdTest, CodeEventsCarryTheCredentialOfReadersWithALayout) {
  PtyReader front;
  Rdrd rdrd({"--config", Write("rdrd.toml", "listen = [\"127.0.0.1:0\"]\n" + ReaderTable("front", front.DevicePath()) +
                                                "layout = \"hex40\"\nformat = \"H10301\"\n")});
  ASSERT_TRUE(rdrd.WaitForReadersUp({"front"}));
  WebSocketClient ws(rdrd.Port(), "/v1/ws");
  front.Send(Rdr00800::EncodeCredential("H10301", 123, 45678, "hex40") + "\r\n");
  front.Send("not hexadecimal\r\n");
  auto credential = Parse(NextCode(ws))["credential"];
  EXPECT_FALSE(std::string(credential["raw"]).empty());
  credential.erase("raw");
  EXPECT_EQ(credential, nlohmann::json::parse(R"({"format":"H10301","bits":26,"facility":123,"card":45678,)"
                                              R"("issue":null,"oem":null,"parity":"ok"})"));
  EXPECT_TRUE(Parse(NextCode(ws))["credential"].is_null());
}

TEST_F(RdrdTest, WebSocketMessageOver4KiBClosesWith1009) {
  Rdrd rdrd({"--listen", "127.0.0.1:0"});
  WebSocketClient ws(rdrd.Port(), "/v1/ws");
  ws.Send("small messages are ignored");
  ws.Send(std::string(5000, 'a'));
  EXPECT_FALSE(ws.Next());
  EXPECT_EQ(ws.CloseCode(), 1009);
}

TEST_F(RdrdTest, ReloadOpensAddedAndClosesRemovedReadersWhileClientsStay) {
  PtyReader first;
  PtyReader second;
  const std::string listen = "listen = [\"127.0.0.1:0\"]\n";
  const std::string file = Write("rdrd.toml", listen + ReaderTable("first", first.DevicePath()));
  Rdrd rdrd({"--config", file});
  ASSERT_TRUE(rdrd.WaitForReadersUp({"first"}));
  WebSocketClient ws(rdrd.Port(), "/v1/ws");
  first.Send("one\r");
  ASSERT_EQ(Parse(NextCode(ws))["reader"], "first");

  Write("rdrd.toml", listen + ReaderTable("second", second.DevicePath()));
  rdrd.Process().Signal(SIGHUP);
  ASSERT_TRUE(rdrd.WaitForReadersUp({"second"}));
  second.Send("two\r");
  EXPECT_EQ(Parse(NextCode(ws))["reader"], "second");
  const auto readers = Parse(Get(rdrd.Port(), "/v1/readers").body)["readers"];
  ASSERT_EQ(readers.size(), 1u);
  EXPECT_EQ(readers[0]["id"], "second");

  Write("rdrd.toml", listen + "colour = 1\n");
  rdrd.Process().Signal(SIGHUP);
  EXPECT_TRUE(rdrd.WaitForLog("reload refused, the configuration stays as it was: " + file + ":2: colour = 1"));
  second.Send("three\r");
  EXPECT_EQ(Parse(NextCode(ws))["code"], "three");
}

TEST_F(RdrdTest, SigtermEndsWithinASecondTellingTheServiceManager) {
  const std::string socketPath = (dir_.Path() / "notify").string();
  const int manager = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(manager, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  auto nextNotice = [&] {
    char text[256] = {};
    return std::string(text, static_cast<size_t>(std::max<ssize_t>(0, ::recv(manager, text, sizeof text, 0))));
  };
  PtyReader front;
  Rdrd rdrd({"--reader", "front=" + front.DevicePath(), "--listen", "127.0.0.1:0"}, {"NOTIFY_SOCKET=" + socketPath});
  EXPECT_TRUE(nextNotice().starts_with("READY=1\nSTATUS="));
  SseClient sse(rdrd.Port(), "/v1/events");
  ASSERT_EQ(sse.Status(), 200);
  const auto start = std::chrono::steady_clock::now();
  rdrd.Process().Signal(SIGTERM);
  EXPECT_EQ(rdrd.Process().Wait(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  std::string notice;
  while (!(notice = nextNotice()).empty() && notice != "STOPPING=1") {
  }
  EXPECT_EQ(notice, "STOPPING=1");
  ::close(manager);
}

TEST_F(RdrdTest, ConfigErrorStopsTheStartWithOneLineAndExit2) {
  ChildProcess rdrd({RDRD_EXECUTABLE, "--config", Write("rdrd.toml", "backlog = \"many\"\n")});
  EXPECT_EQ(rdrd.Wait(), 2);
  EXPECT_EQ(rdrd.ErrorOutput(),
            "rdrd: " + (dir_.Path() / "rdrd.toml").string() + ":1: backlog = \"many\": not a whole number\n");
}

}  // namespace
}  // namespace rdrtest
