// The configuration's refusals, each one line naming file, line, key and
// value, and the quick-start flags.
#include "config.h"

#include <gtest/gtest.h>

#include "event.h"

namespace rdrd {
namespace {

struct ConfigFault {
  const char* text;
  const char* line;  // the whole message expected
};

TEST(RdrdConfig, EachFaultIsOneLineNamingFileLineKeyAndValue) {
  const ConfigFault faults[] = {
      {"server_id = \"a\"\ncolour = \"red\"\n", "rdrd.toml:2: colour = \"red\": unknown key"},
      {"[[reader]]\nid = \"a\"\nport = \"/dev/x\"\nbaud = \"fast\"\n",
       "rdrd.toml:4: reader[0].baud = \"fast\": not a whole number"},
      {"[[reader]]\nid = \"a\"\nport = \"/dev/x\"\nbaud = 0\n",
       "rdrd.toml:4: reader[0].baud = 0: out of range 1..4000000"},
      {"[[reader]]\nid = \"a\"\nport = \"/dev/x\"\n[[reader]]\nid = \"a\"\nport = \"/dev/y\"\n",
       "rdrd.toml:5: reader[1].id = \"a\": duplicate reader id"},
      {"[[reader]]\nid = \"front door\"\nport = \"/dev/x\"\n",
       "rdrd.toml:2: reader[0].id = \"front door\": an id is 1 to 64 letters, digits, - and _"},
      {"[[reader]]\nid = \"a\"\n", "rdrd.toml:1: reader[0] = {...}: a reader needs a port"},
      {"[[reader]]\nid = \"a\"\nport = \"/dev/x\"\nlayout = \"hex41\"\n",
       "rdrd.toml:4: reader[0].layout = \"hex41\": not a layout (hex40, hex, hex:N, packed, em4100)"},
      {"[[reader]]\nid = \"a\"\nport = \"/dev/x\"\nframing = \"stx\"\n",
       "rdrd.toml:4: reader[0].framing = \"stx\": not a framing (line-ends, stx-etx)"},
      {"listen = [\"0.0.0.0:8765\"]\n",
       "rdrd.toml:1: listen = [\"0.0.0.0:8765\"]: an address beyond loopback needs token_file"},
      {"listen = [\"localhost:8765\"]\n",
       "rdrd.toml:1: listen[0] = \"localhost:8765\": not an address:port (names are not resolved)"},
      {"allowed_origins = [\"https://pos.example/\"]\n",
       "rdrd.toml:1: allowed_origins[0] = \"https://pos.example/\": not an origin (scheme://host[:port])"},
      {"[[reader]]\nid = \"a\"\nport = \"/dev/x\"\nlayout = \"hex\"\nformat = \"H10302x\"\n",
       "rdrd.toml:5: reader[0].format = \"H10302x\": no such credential format"},
      {"backlog = -1\n", "rdrd.toml:1: backlog = -1: out of range 1..10000000"},
      {"token_file = \"/nonexistent/token\"\n",
       "rdrd.toml:1: token_file = \"/nonexistent/token\": cannot read the token file"},
      {"[mqtt]\nurl = \"http://localhost\"\n",
       "rdrd.toml:2: mqtt.url = \"http://localhost\": only mqtt://HOST[:PORT] is supported"},
      {"[mqtt]\nurl = \"mqtts://broker:8883\"\n",
       "rdrd.toml:2: mqtt.url = \"mqtts://broker:8883\": only mqtt://HOST[:PORT] is supported"},
      {"[mqtt]\nurl = \"mqtt://user@broker\"\n", "rdrd.toml:2: mqtt.url = \"mqtt://user@broker\": no usable host"},
      {"server_id = \n", "rdrd.toml:1: Error while parsing key-value pair: expected value, saw '\\n'"},
  };
  for (const auto& fault : faults) {
    try {
      ParseConfig(fault.text, "rdrd.toml", {"H10301", "EM4100"});
      ADD_FAILURE() << "accepted: " << fault.text;
    } catch (const ConfigError& error) {
      EXPECT_EQ(std::string(error.what()), fault.line) << fault.text;
    }
  }
}

TEST(RdrdConfig, FileKeysAndDefaults) {
  const Config config = ParseConfig(
      "server_id = \"till-1\"\nbacklog = 5\nmax_clients = 3\nallowed_origins = [\"https://pos.example\"]\n"
      "[[reader]]\nid = \"front\"\nport = \"/dev/ttyUSB0\"\nlayout = \"em4100\"\nformat = \"auto\"\n"
      "repeat_hold_ms = 1000\nframing = \"stx-etx\"\n[mqtt]\nurl = \"mqtt://127.0.0.1:1883\"\n",
      "rdrd.toml");
  EXPECT_EQ(config.serverId, "till-1");
  ASSERT_EQ(config.listen.size(), 2u);
  EXPECT_EQ(config.listen[0].Text(), "127.0.0.1:8765");
  EXPECT_EQ(config.listen[1].Text(), "[::1]:8765");
  EXPECT_EQ(config.backlog, 5u);
  EXPECT_EQ(config.maxClients, 3u);
  ASSERT_EQ(config.readers.size(), 1u);
  EXPECT_EQ(config.readers[0].baud, 9600);
  EXPECT_EQ(config.readers[0].credentials, (CredentialSettings{"em4100", "auto", 1000, "stx-etx"}));
  EXPECT_EQ(config.mqtt.topicPrefix, "rdr00800");
  EXPECT_EQ(ParseConfig("", "empty.toml").serverId, HostName());
}

TEST(RdrdConfig, QuickStartFlags) {
  const auto line =
      ParseCommandLine({"--reader", "front=/dev/ttyUSB0", "--reader", "gate=rfc2217://10.0.0.7:2000,19200", "--listen",
                        "[::1]:0", "--allow-origin", "https://pos.example", "--log-codes"});
  ASSERT_EQ(line.config.readers.size(), 2u);
  EXPECT_EQ(line.config.readers[0].baud, 9600);
  EXPECT_EQ(line.config.readers[1].port, "rfc2217://10.0.0.7:2000");
  EXPECT_EQ(line.config.readers[1].baud, 19200);
  EXPECT_EQ(line.config.listen.at(0).Text(), "[::1]:0");
  EXPECT_TRUE(line.logCodes);
  const std::vector<std::vector<std::string>> refused = {{"--reader", "front"},
                                                         {"--reader", "a=/dev/x", "--reader", "a=/dev/y"},
                                                         {"--listen", "0.0.0.0:1"},
                                                         {"--reader", "a=/dev/x,fast"}};
  for (const auto& arguments : refused) EXPECT_THROW(ParseCommandLine(arguments), ConfigError) << arguments.back();
}

TEST(RdrdEvent, TextIsUtf8FromWindows1252AndTimesAreUtcMilliseconds) {
  EXPECT_EQ(Windows1252ToUtf8("A\xe9\x80\x81"), "A\xc3\xa9\xe2\x82\xac\xc2\x81");
  EXPECT_EQ(HexOf(std::string_view("\x00\xff"
                                   "A",
                                   3)),
            "00ff41");
  EXPECT_EQ(UtcTimestamp(std::chrono::system_clock::time_point(std::chrono::milliseconds(1796779425678))),
            "2026-12-09T01:23:45.678Z");
}

}  // namespace
}  // namespace rdrd
