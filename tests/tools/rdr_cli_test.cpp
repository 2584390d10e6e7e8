// rdr end to end: the built tool against its own simulator, Xvfb and a
// test window.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "support/pty_reader.h"
#include "support/test_kit.h"

namespace rdrtest {
namespace {

using namespace std::chrono_literals;

// Parses one flat JSON object of string, number, boolean and null values;
// strings come back as the bytes of their Latin-1 characters, as rdr writes
// device bytes. Fails the test on anything else.
std::map<std::string, std::string> ParseJsonObject(const std::string& text) {
  std::map<std::string, std::string> fields;
  size_t at = 0;
  const auto expect = [&](char c) {
    if (at >= text.size() || text[at] != c) throw std::runtime_error("expected " + std::string(1, c) + " in " + text);
    ++at;
  };
  const auto readString = [&] {
    expect('"');
    std::string value;
    while (at < text.size() && text[at] != '"') {
      unsigned char c = static_cast<unsigned char>(text[at++]);
      if (c == '\\') {
        const char kind = text.at(at++);
        if (kind == 'u') {
          value += static_cast<char>(std::stoul(text.substr(at, 4), nullptr, 16));
          at += 4;
        } else {
          value += kind == 'n' ? '\n' : kind == 'r' ? '\r' : kind == 't' ? '\t' : kind;
        }
      } else if (c >= 0xC0) {
        value += static_cast<char>(((c & 0x1F) << 6) | (static_cast<unsigned char>(text.at(at++)) & 0x3F));
      } else {
        value += static_cast<char>(c);
      }
    }
    expect('"');
    return value;
  };
  expect('{');
  while (at < text.size() && text[at] != '}') {
    if (!fields.empty()) expect(',');
    const std::string key = readString();
    expect(':');
    if (text.at(at) == '"') {
      fields[key] = readString();
    } else {
      const size_t end = text.find_first_of(",}", at);
      fields[key] = text.substr(at, end - at);
      at = end;
    }
  }
  expect('}');
  if (at != text.size()) throw std::runtime_error("text after the object: " + text);
  return fields;
}

// `rdr simulate` in the background, with the device path it printed.
class Simulator {
 public:
  explicit Simulator(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {RDR_EXECUTABLE, "simulate"});
    child_ = std::make_unique<ChildProcess>(arguments);
    device_ = child_->ReadLine(5s).value_or("");
  }
  ~Simulator() {
    child_->Signal(SIGTERM);
    child_->Wait();
  }
  const std::string& Device() const { return device_; }

 private:
  std::unique_ptr<ChildProcess> child_;
  std::string device_;
};

void ExpectOneErrorLine(const RunResult& result) {
  ASSERT_FALSE(result.err.empty());
  EXPECT_EQ(result.err.rfind("rdr: ", 0), 0u) << result.err;
  EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
}

TEST(RdrArgumentsTest, BadArgumentsExitTwoWithOneLine) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"read"},
      {"decode", "--type", "2", "12\\q"},
      {"simulate", "--kind", "sonar", "--frame", "1"},
      {"simulate", "--kind", "optical"},
      {"simulate", "--kind", "optical", "--facility", "1", "--card", "2"},
      {"decrypt", "--library", "/etc/passwd", "471260"},
      {"scan", "--port", "/dev/null", "--to", "printer"},
      {"frobnicate"},
      {"read", "--port", "/dev/null", "--baud", "0"},
      {"scan", "--port", "/dev/null", "--interval", "0"},
  };
  for (const auto& arguments : cases) {
    const RunResult result = RunRdr(arguments);
    EXPECT_EQ(result.exitCode, 2) << testing::PrintToString(arguments) << result.err;
    ExpectOneErrorLine(result);
    EXPECT_LT(result.err.size(), 200u) << result.err;
  }
}

// A failure says what happened; with --json it is also one object on stdout.
TEST(RdrArgumentsTest, MessagesSayWhatHappened) {
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    const char* saying;  // in standard output, then standard error
  };
  const Case cases[] = {
      {{"--version"}, 0, "rdr 0."},
      {{"decode", "--type", "2", "--explain", "00BDD9Z740"}, 0, "skipped   Z at 7"},
      {{"decode", "--type", "2", "--explain", "00BDD9Z740"}, 0, "the code may be wrong"},
      {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
      {{"read", "--port", "/dev/null", "--baud", "0"}, 2, "'0' is not a line speed"},
      {{"decrypt", "--dir", "/tmp", "471260"}, 7, "no database: give --connection"},
      {{"decrypt", "471260"}, 7, "no database: give --connection"},
      {{"read", "--port", "/dev/rdr-no-such-device"}, 3, "/dev/rdr-no-such-device"},
      {{"scan", "--port", "--quiet"}, 2, "--port lacks its value: --quiet is another option"},
      {{"read", "--port", "rfc2217://127.0.0.1:99999"}, 2, "port 99999 is out of range 1-65535"},
      {{"prox", "--type", "2", "--port", "rfc2217://127.0.0.1"}, 2, "no port: expected HOST:PORT"},
      {{"scan", "--port", "tcp://:27201"}, 2, "no host"},
      {{"scan", "--port", "/dev/null", "--baud", "12345"}, 2, "takes one of the speeds"},
      {{"decode", "--type", "2", "--explain", "zz"}, 4, "too short to give a code"},
      {{"read", "--port", "/dev/null", "--frobnicate"}, 2, "(see rdr read --help)"},
  };
  for (const Case& c : cases) {
    const RunResult result = RunRdr(c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << testing::PrintToString(c.arguments) << result.err;
    EXPECT_NE((result.out + result.err).find(c.saying), std::string::npos) << result.out << result.err;
    if (c.exitCode == 0) continue;
    std::vector<std::string> withJson = c.arguments;
    withJson.push_back("--json");
    const RunResult json = RunRdr(withJson);
    ASSERT_FALSE(json.out.empty()) << testing::PrintToString(withJson);
    const auto fields = ParseJsonObject(json.out.substr(0, json.out.size() - 1));
    EXPECT_FALSE(fields.at("error").empty()) << json.out;
    EXPECT_NE(fields.at("reason").find(c.saying), std::string::npos) << json.out;
  }
}

// Directories as users set them up, each with a copy of the sample library
// (not the one beside rdr, so that the answering file tells them apart).
TEST(RdrDecryptTest, SaysWhichLibraryAnsweredAndWhyNot) {
  namespace fs = std::filesystem;
  const fs::path sample = fs::path(RDR_EXECUTABLE).parent_path() / "KQZR32.dll";
  TempDir root;
  const auto make = [&](const std::string& name, std::vector<std::string> libraries, const char* config) {
    const fs::path directory = root.Path() / name;
    fs::create_directory(directory);
    for (const std::string& library : libraries) fs::copy_file(sample, directory / library);
    if (config) std::ofstream(directory / "Cliente.Cfg") << config;
    return directory;
  };
  const fs::path good = make("good", {"KQZR32.dll"}, "Chave=4711\n");
  const fs::path empty = make("empty", {"KQZR32.dll"}, "");
  const fs::path none = make("none", {"KQZR32.dll"}, nullptr);
  const fs::path broken = make("broken", {}, "Chave=4711\n");
  std::ofstream(broken / "KQZR32.dll") << "not a library";
  const fs::path twins = make("twins", {"KQZR32.dll", "kqzr32.DLL"}, "Chave=4711\n");
  const std::string database = "Driver=SQLite3;Database=" + (root.Path() / "rdr.db").string();
  const std::string answered = "rdr: answered by ";

  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    std::string saying;  // in standard output, then standard error
  };
  const Case cases[] = {
      {{"--dir", good, "--connection", database, "471260"}, 0, answered + (good / "KQZR32.dll").string()},
      {{"--library", good / "KQZR32.dll", "--connection", database, "471260"}, 0, answered},
      {{"--resident", "--library", good / "KQZR32.dll", "471260"}, 0, answered + (good / "KQZR32.dll").string()},
      {{"--dir", empty, "--connection", database, "471260"},
       5,
       (empty / "Cliente.Cfg").string() + " is there but empty"},
      {{"--dir", none, "--connection", database, "471260"}, 5, "found no Cliente.Cfg in " + none.string()},
      {{"--dir", broken, "--connection", database, "471260"}, 5, "KQZR32.dll could not be loaded"},
      {{"--resident", "--library", twins / "kqzr32.DLL", "471260"},
       5,
       "was loaded instead of " + (twins / "kqzr32.DLL").string()},
      {{"--dir", good, "--connection", database, ""}, 5, "the code is empty"},
      {{"--dir", good, "--connection", database, std::string(1500, '1')}, 5, "nothing for the 1500-character code"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {"decrypt"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const RunResult result = RunRdr(arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << testing::PrintToString(c.arguments) << result.err;
    EXPECT_NE((result.out + result.err).find(c.saying), std::string::npos) << result.out << result.err;
    if (c.exitCode == 0) {
      EXPECT_EQ(result.out, "000123\n");
    }
  }
}

TEST(RdrArgumentsTest, TopLevelHelpKeepsOneShortLinePerCommand) {
  const RunResult help = RunRdr({"--help"});
  ASSERT_EQ(help.exitCode, 0);
  const size_t list = help.out.find("Subcommands:\n");
  ASSERT_NE(list, std::string::npos) << help.out;
  size_t commands = 0;
  for (size_t at = list + 13; at < help.out.size() && help.out[at] != '\n';) {
    const size_t end = help.out.find('\n', at);
    const std::string line = help.out.substr(at, end - at);
    EXPECT_LE(line.size(), 100u) << line;
    EXPECT_EQ(line.rfind("  ", 0), 0u) << "a continuation line: " << line;
    EXPECT_NE(line[2], ' ') << "a continuation line: " << line;
    ++commands;
    at = end + 1;
  }
  EXPECT_EQ(commands, 9u) << help.out;
  const RunResult scanHelp = RunRdr({"scan", "--help"});
  EXPECT_NE(scanHelp.out.find("XTest"), std::string::npos) << "detail belongs in the command's own help";
}

TEST(RdrArgumentsTest, DeviceThatCannotBeOpenedExitsThreeWithTheLibrarysReason) {
  Simulator simulator({"--kind", "optical", "--frame", R"(A1\r\n)"});
  // Held by this process, as a host would hold it.
  const int held = ::open(simulator.Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").filename().string().substr(0, 15);
  struct Case {
    std::vector<std::string> arguments;
    std::string error;
  };
  const Case cases[] = {
      {{"read", "--port", "/dev/rdr-no-such-device"},
       "rdr: /dev/rdr-no-such-device: no such device (No such file or directory)\n"},
      {{"prox", "--type", "2", "--port", "PRINTER", "--baud", "9600"},
       "rdr: PRINTER names no device: give --port the reader's device, such as /dev/ttyUSB0 (rdr ports lists "
       "them)\n"},
      {{"read", "--port", "/dev/null", "--optical"}, "rdr: /dev/null: not a serial port\n"},
      {{"read", "--port", simulator.Device()},
       "rdr: " + simulator.Device() + ": held by process " + std::to_string(::getpid()) + " (" + self + ")\n"},
      {{"scan", "--port", "/dev/rdr-no-such-device", "--no-wait"},
       "rdr: /dev/rdr-no-such-device: no such device (No such file or directory)\n"},
  };
  for (const Case& c : cases) {
    const RunResult result = RunRdr(c.arguments);
    EXPECT_EQ(result.exitCode, 3) << testing::PrintToString(c.arguments);
    EXPECT_EQ(result.err, c.error);
  }
  ::close(held);
}

TEST(RdrDecodeTest, DecodesTheReaderTypes) {
  struct Case {
    const char* type;
    const char* frame;
    const char* shown;
  };
  for (const Case& c : {Case{"2", R"(003DD93700\r\n)", "12345678"}, Case{"1", R"(003DD93700\r\n)", "00045678"},
                        Case{"3", R"(003DD93700\r\n)", "003DD93700"}, Case{"3", R"(12345\r\n\x12)", "12345"},
                        Case{"3", R"(12345\r)", R"(12345\r)"}}) {
    const RunResult result = RunRdr({"decode", "--type", c.type, c.frame});
    EXPECT_EQ(result.exitCode, 0) << c.frame << result.err;
    EXPECT_EQ(result.out, std::string(c.shown) + "\n") << c.type << " " << c.frame;
  }
  const RunResult nothing = RunRdr({"decode", "--type", "2", R"(003D\r\n)"});
  EXPECT_EQ(nothing.exitCode, 4);
  ExpectOneErrorLine(nothing);
}

TEST(RdrDecodeTest, ExplainsFieldsAndReportsJson) {
  const RunResult explained = RunRdr({"decode", "--type", "2", "--explain", R"(003DD93700\r\n)"});
  EXPECT_EQ(explained.exitCode, 0);
  EXPECT_NE(explained.out.find("01111011 = 123"), std::string::npos) << explained.out;
  EXPECT_NE(explained.out.find("1011001001101110 = 45678"), std::string::npos) << explained.out;
  EXPECT_NE(explained.out.find("does not hold"), std::string::npos) << explained.out;

  const RunResult json = RunRdr({"decode", "--type", "2", "--explain", "--json", R"(003DD93700\r\n)"});
  ASSERT_EQ(json.exitCode, 0);
  const auto fields = ParseJsonObject(json.out.substr(0, json.out.size() - 1));
  EXPECT_EQ(fields.at("code"), "12345678");
  EXPECT_EQ(fields.at("frame"), "003DD93700\r\n");
  EXPECT_EQ(fields.at("facility_bits"), "01111011");
  EXPECT_EQ(fields.at("even_parity_holds"), "false");
}

TEST(RdrDecodeTest, DecodesCredentialsByLayout) {
  struct Case {
    std::vector<std::string> arguments;  // after "decode"
    int exitCode;
    const char* saying;  // in standard output, then standard error
  };
  const Case cases[] = {
      {{"--layout", "hex40", "00BDD93740"}, 0, "H10301 facility=123 card=45678 parity=ok\n"},
      {{"--layout", "hex40", R"(003DD93700\r\n)"}, 0, "H10301 facility=123 card=45678 parity=failed\n"},
      {{"--layout", "hex40", "--explain", "003DD93700"}, 0, "\n  parity bit 1 (even over 2-13) does not hold\n"},
      {{"--layout", "hex40", "--form", "code", "00BDD93740"}, 0, "12345678\n"},
      {{"--layout", "hex40", "--form", "code", "003DD93700"},
       4,
       "H10301: parity bit 26 (odd over 14-25) does not hold"},
      {{"--layout", "em4100", "--form", "dez10", R"(\x023C00CE754CCB\x03)"}, 0, "0013530444\n"},
      {{"--layout", "em4100", "--form", "fc,cn", "0700673158"}, 0, "103,12632\n"},
      {{"--layout", "em4100", R"(\x023C00CE754CCC\x03)"}, 4, "decodes to no credential"},
      {{"--layout", "hex40", "--form", "octal", "00BDD93740"}, 2, "octal"},
      {{"--layout", "sideways", "00BDD93740"}, 2, "sideways"},
      {{"00BDD93740"}, 2, "give --type or --layout"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = c.arguments;
    arguments.insert(arguments.begin(), "decode");
    const RunResult result = RunRdr(arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << testing::PrintToString(arguments) << result.err;
    EXPECT_NE((result.out + result.err).find(c.saying), std::string::npos) << result.out << result.err;
  }
  const RunResult json = RunRdr({"decode", "--layout", "hex40", "--json", "00BDD93740"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  const auto fields = ParseJsonObject(json.out.substr(0, json.out.size() - 1));
  EXPECT_EQ(fields, (std::map<std::string, std::string>{{"format", "H10301"},
                                                        {"bits", "26"},
                                                        {"facility", "123"},
                                                        {"card", "45678"},
                                                        {"issue", "null"},
                                                        {"oem", "null"},
                                                        {"parity", "ok"},
                                                        {"raw", "2F764DD"}}));
  const RunResult formats = RunRdr({"formats"});
  EXPECT_EQ(std::count(formats.out.begin(), formats.out.end(), '\n'), 41) << formats.out;
  EXPECT_NE(formats.out.find("H10301     26 bits  "), std::string::npos) << formats.out;
}

TEST(RdrReadTest, ReadsTheSimulatorThenReportsNothingRead) {
  Simulator simulator({"--kind", "optical", "--frame", R"(A1\xE9\r\n)", "--count", "1", "--json"});
  const auto announced = ParseJsonObject(simulator.Device());
  const std::string device = announced.at("device");
  EXPECT_EQ(announced.at("frame"), "A1\xE9\r\n");

  const RunResult read = RunRdr({"read", "--port", device, "--json"});
  ASSERT_EQ(read.exitCode, 0) << read.err;
  const auto fields = ParseJsonObject(read.out.substr(0, read.out.size() - 1));
  EXPECT_EQ(fields.at("frame"), "A1\xE9\r\n");
  EXPECT_EQ(fields.at("device"), device);

  const RunResult nothing = RunRdr({"read", "--port", device});
  EXPECT_EQ(nothing.exitCode, 4) << "the simulator sent its one frame already";
  ExpectOneErrorLine(nothing);
}

TEST(RdrReadTest, OpticalTypeTwoDropsTheLastCharacter) {
  Simulator simulator({"--kind", "optical", "--frame", R"(12345\r\n)", "--every", "200"});
  const RunResult read = RunRdr({"read", "--port", simulator.Device(), "--optical", "--type", "2"});
  EXPECT_EQ(read.exitCode, 0) << read.err;
  EXPECT_EQ(read.out.substr(0, 7), R"(12345\r)");
  EXPECT_EQ(RunRdr({"read", "--port", simulator.Device(), "--optical", "--baud", "600"}).exitCode, 2)
      << "600 is not a speed of the table";
}

TEST(RdrReadTest, FrameThatFillsTheReadIsFlaggedUnlessQuiet) {
  Simulator simulator({"--kind", "optical", "--frame", std::string(60, 'F'), "--count", "2"});
  const RunResult read = RunRdr({"read", "--port", simulator.Device()});
  EXPECT_EQ(read.exitCode, 0) << read.err;
  EXPECT_EQ(read.out, std::string(51, 'F') + "\n");
  EXPECT_NE(read.err.find("the frame may continue in the next poll"), std::string::npos) << read.err;

  ChildProcess scan({RDR_EXECUTABLE, "scan", "--port", simulator.Device(), "--quiet"});
  // The rest of the frame goes to the next poll, or with the one that closed
  // on it when the simulator saw that close first.
  EXPECT_EQ(scan.ReadLine(5s).value_or("").substr(0, 51), std::string(51, 'F'));
  scan.Signal(SIGTERM);
  EXPECT_EQ(scan.Wait(), 0);
  EXPECT_EQ(scan.ErrorOutput(), "");
}

TEST(RdrReadTest, FrameLeftUnreadGoesToTheNextHost) {
  Simulator simulator({"--kind", "optical", "--frame", R"(ONLY1\r\n)", "--count", "1"});
  {
    // A program that holds the device for a while and closes it unread.
    const int held = ::open(simulator.Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(held, 0);
    std::this_thread::sleep_for(150ms);
    ::close(held);
  }
  const RunResult read = RunRdr({"read", "--port", simulator.Device()});
  EXPECT_EQ(read.exitCode, 0) << read.err;
  EXPECT_EQ(read.out, "ONLY1\\r\\n\n");
}

// Without --every, one frame per open, however soon the next open comes.
TEST(RdrReadTest, EveryProxGetsTheSimulatedCard) {
  const std::string link = "/tmp/rdr-cli-test-prox-" + std::to_string(::getpid());
  Simulator simulator({"--kind", "proximity", "--facility", "123", "--card", "45678", "--link", link});
  EXPECT_EQ(simulator.Device(), link);
  for (int attempt = 0; attempt < 3; ++attempt) {
    const RunResult prox = RunRdr({"prox", "--type", "2", "--port", link, "--baud", "9600", "--json"});
    ASSERT_EQ(prox.exitCode, 0) << prox.err;
    EXPECT_EQ(ParseJsonObject(prox.out.substr(0, prox.out.size() - 1)).at("code"), "12345678");
  }
}

// Codes are Windows-1252: characters above 127 come out in UTF-8.
TEST(RdrScanTest, RelaysCodesToStdoutAndEndsCleanlyOnSigterm) {
  Simulator simulator(
      {"--kind", "optical", "--frame", R"(C\xC9D\x80\xE7\x8A42\r\n)", "--every", "1100", "--count", "2"});
  ChildProcess scan({RDR_EXECUTABLE, "scan", "--port", simulator.Device(), "--to", "stdout"});
  EXPECT_EQ(scan.ReadLine(5s), "C\u00C9D\u20AC\u00E7\u016042");
  EXPECT_EQ(scan.ReadLine(5s), "C\u00C9D\u20AC\u00E7\u016042");
  scan.Signal(SIGTERM);
  EXPECT_EQ(scan.Wait(), 0) << scan.ErrorOutput();
}

// A reader that sends on its own clock, whether or not a poll has the port
// open: a pseudo-terminal this test writes to, which keeps what is written
// between polls for the next one.
TEST(RdrScanTest, FiftyCodesSentATenthOfASecondApartArriveAsFiftyLinesInOrder) {
  std::vector<std::string> expected;
  for (int i = 1; i <= 50; ++i) expected.push_back("CODE" + std::to_string(100 + i));
  // --whole-second alone chooses polls, as before there were sessions.
  const std::vector<std::vector<std::string>> modes = {{}, {"--poll", "--interval=20"}, {"--whole-second"}};
  for (const auto& modeArguments : modes) {
    const std::string mode = modeArguments.empty() ? "session" : modeArguments.back();
    rdrtest::PtyReader reader;
    std::vector<std::string> arguments = {RDR_EXECUTABLE, "scan", "--port", reader.DevicePath()};
    arguments.insert(arguments.end(), modeArguments.begin(), modeArguments.end());
    ChildProcess scan(arguments);
    std::thread sender([&] {
      for (const auto& code : expected) {
        reader.Send(code + "\r\n");
        std::this_thread::sleep_for(100ms);
      }
    });
    std::vector<std::string> received;
    while (received.size() < expected.size()) {
      const auto line = scan.ReadLine(5s);
      if (!line) break;
      received.push_back(*line);
    }
    sender.join();
    EXPECT_EQ(received, expected) << mode;
    scan.Signal(SIGTERM);
    EXPECT_EQ(scan.Wait(), 0) << mode << scan.ErrorOutput();
  }
}

TEST(RdrScanTest, ASixtyCharacterCodeComesOutWholeWithoutAWarning) {
  rdrtest::PtyReader reader;
  ChildProcess scan({RDR_EXECUTABLE, "scan", "--port", reader.DevicePath(), "--json", "--quiet"});
  const std::string code(60, 'L');
  reader.Send(code + "\r\n#hash\r\nNEXT1\r\n");
  EXPECT_EQ(scan.ReadLine(5s), "{\"code\":\"" + code + "\"}");
  EXPECT_EQ(scan.ReadLine(5s), "{\"code\":\"NEXT1\"}");
  scan.Signal(SIGTERM);
  EXPECT_EQ(scan.Wait(), 0);
  EXPECT_EQ(scan.ErrorOutput(), "rdr: dropped #hash: it does not begin with an ASCII letter or digit\n")
      << "no 51-byte warning while the port is held";
}

// What a reader sends that the tool must not lose or cut without a word, and
// a stop that must wait for the port to be released.
TEST(RdrReaderFaultsTest, CodesComeWholeOrTheLossIsSaid) {
  struct Case {
    const char* what;
    std::string frame;  // the simulator's, sent once per open (a second apart by the clock)
    std::vector<std::string> arguments;
    std::optional<int> stopSignal;  // sent while the command polls
    int exitCode;
    std::string firstLine;
    const char* saying;  // on standard error
  };
  const std::string longCode(10000, 'A');
  const Case cases[] = {
      {"a code longer than the session's pieces comes out as one",
       longCode + "\\r\\n",
       {"scan"},
       SIGTERM,
       0,
       longCode,
       ""},
      {"the bytes a NUL cut off are counted",
       "A\\0B\\r\\n",
       {"read"},
       std::nullopt,
       0,
       "A",
       "the frame ends at its first NUL: 3 bytes after it were left out"},
      {"Ctrl-C ends a read once the poll released the port", "X\\r\\n", {"read"}, SIGINT, 128 + SIGINT, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Simulator simulator({"--kind", "optical", "--frame", c.frame, "--every", "1000"});
    std::vector<std::string> arguments = {RDR_EXECUTABLE};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    arguments.insert(arguments.end(), {"--port", simulator.Device()});
    ChildProcess command(arguments);
    std::string firstLine;
    if (c.stopSignal == SIGTERM) {
      firstLine = command.ReadLine(5s).value_or("");
      command.Signal(SIGTERM);
    } else if (c.stopSignal) {
      std::this_thread::sleep_for(300ms);  // within the poll's second
      command.Signal(*c.stopSignal);
    }
    EXPECT_EQ(command.Wait(), c.exitCode) << command.ErrorOutput();
    const std::string rest = command.RemainingOutput();
    if (!c.stopSignal) firstLine = rest.substr(0, rest.find('\n'));
    EXPECT_EQ(firstLine, c.firstLine);
    EXPECT_NE(command.ErrorOutput().find(c.saying), std::string::npos) << command.ErrorOutput();
  }
}

// With --every, a code per period by the clock, however often the host
// opens: scan opens anew after each code. The clock starts at the first open.
TEST(RdrSimulateTest, EveryPacesCodesByTheClockForAPollingHost) {
  Simulator simulator({"--kind", "optical", "--frame", R"(TICK\r\n)", "--every", "300"});
  const auto start = std::chrono::steady_clock::now();
  ChildProcess scan({RDR_EXECUTABLE, "scan", "--port", simulator.Device(), "--poll"});
  for (int code = 0; code < 5; ++code) ASSERT_EQ(scan.ReadLine(5s), "TICK") << code;
  EXPECT_GE(std::chrono::steady_clock::now() - start, 4 * 300ms);
}

bool Says(const std::optional<std::string>& line, const char* words) {
  return line && line->find(words) != std::string::npos;
}

// A card held on an EM4100 reader for a second is 16 frames and one code.
TEST(RdrScanTest, AnEm4100CardHeldOnTheReaderIsOneCode) {
  Simulator simulator(
      {"--kind", "proximity", "--layout", "em4100", "--facility", "176", "--card", "42493", "--hold", "1000"});
  ChildProcess scan({RDR_EXECUTABLE, "scan", "--port", simulator.Device(), "--layout", "em4100", "--form", "fc,cn"});
  EXPECT_EQ(scan.ReadLine(5s), "176,42493");
  EXPECT_EQ(scan.ReadLine(1500ms), std::nullopt);
  scan.Signal(SIGTERM);
  EXPECT_EQ(scan.Wait(), 0);
  EXPECT_EQ(scan.ErrorOutput().find("dropped"), std::string::npos) << scan.ErrorOutput();
}

TEST(RdrScanTest, ACardWhoseParityFailsIsReportedNotTyped) {
  Simulator simulator({"--kind", "proximity", "--format", "H10301", "--facility", "123", "--card", "45678",
                       "--bad-parity", "--count", "1"});
  ChildProcess scan({RDR_EXECUTABLE, "scan", "--port", simulator.Device(), "--layout", "hex40", "--quiet"});
  const auto reported = scan.ReadErrorLine(5s);
  EXPECT_TRUE(Says(reported, "H10301: parity bit 26 (odd over 14-25) does not hold")) << reported.value_or("(none)");
  scan.Signal(SIGTERM);
  EXPECT_EQ(scan.Wait(), 0);
  EXPECT_EQ(scan.RemainingOutput(), "");
}

TEST(RdrScanTest, WaitsForTheReaderAndCarriesOnThroughUnplugAndReplug) {
  const std::string link = "/tmp/rdr-cli-test-reader-" + std::to_string(::getpid());
  ChildProcess scan({RDR_EXECUTABLE, "scan", "--port", link});
  const auto waiting = scan.ReadErrorLine(5s);
  EXPECT_TRUE(Says(waiting, "waiting")) << waiting.value_or("(none)");
  for (const char* code : {"PLUGGED1", "REPLUGGED2"}) {
    {
      rdrtest::PtyReader reader(link);
      const auto connected = scan.ReadErrorLine(5s);
      EXPECT_TRUE(Says(connected, "connected")) << connected.value_or("(none)");
      reader.Send(std::string(code) + "\r\n");
      EXPECT_EQ(scan.ReadLine(5s), code);
    }
    const auto unplugged = scan.ReadErrorLine(5s);
    EXPECT_TRUE(Says(unplugged, "disconnected")) << unplugged.value_or("(none)");
  }
  scan.Signal(SIGTERM);
  EXPECT_EQ(scan.Wait(), 0);
  EXPECT_EQ(scan.ErrorOutput(), "") << "one line per change of state";
}

TEST(RdrSimulateTest, LinkNeverReplacesWhatTheSimulatorDidNotMake) {
  const std::filesystem::path directory = "/tmp/rdr-cli-test-link-" + std::to_string(::getpid());
  std::filesystem::create_directories(directory);
  const auto link = directory / "reader";
  const auto keep = directory / "kept";
  struct Case {
    const char* what;
    std::function<void()> make;
  };
  const Case refused[] = {
      {"a regular file", [&] { std::ofstream(link) << "precious"; }},
      {"a directory", [&] { std::filesystem::create_directory(link); }},
      {"a named pipe", [&] { ASSERT_EQ(::mkfifo(link.c_str(), 0600), 0); }},
      {"a symlink elsewhere", [&] { std::filesystem::create_symlink("/dev/null", link); }},
      {"a symlink to /dev/pts/ptmx", [&] { std::filesystem::create_symlink("/dev/pts/ptmx", link); }},
  };
  for (const Case& c : refused) {
    c.make();
    const auto before = std::filesystem::symlink_status(link).type();
    const RunResult result = RunRdr({"simulate", "--kind", "optical", "--frame", "A1", "--link", link.string()});
    EXPECT_EQ(result.exitCode, 2) << c.what << result.err;
    ExpectOneErrorLine(result);
    EXPECT_EQ(std::filesystem::symlink_status(link).type(), before) << c.what;
    std::filesystem::remove(link);
  }

  // A link a killed simulator left behind is taken over; at the end the
  // simulator removes its link, and only while it is still its own.
  std::filesystem::create_symlink("/dev/pts/987654", link);
  {
    Simulator simulator({"--kind", "optical", "--frame", "A1", "--link", link.string()});
    EXPECT_EQ(simulator.Device(), link.string());
    EXPECT_TRUE(std::filesystem::is_character_file(link));
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  // A running simulator keeps its link: a second one is refused.
  {
    Simulator first({"--kind", "optical", "--frame", "A1", "--link", link.string()});
    const RunResult second = RunRdr({"simulate", "--kind", "optical", "--frame", "A1", "--link", link.string()});
    EXPECT_EQ(second.exitCode, 2);
    EXPECT_NE(second.err.find("still running"), std::string::npos) << second.err;
    EXPECT_TRUE(std::filesystem::is_character_file(link)) << "the second simulator took the link";
  }
  {
    Simulator simulator({"--kind", "optical", "--frame", "A1", "--link", link.string()});
    std::ofstream(keep) << "someone else's";
    std::filesystem::rename(keep, link);
  }
  EXPECT_TRUE(std::filesystem::is_regular_file(link)) << "the simulator removed a file it did not make";
  std::filesystem::remove_all(directory);
}

TEST(RdrDemoTest, EveryStepWorks) {
  const RunResult demo = RunRdr({"demo"});
  EXPECT_EQ(demo.exitCode, 0) << demo.out << demo.err;
  EXPECT_NE(demo.out.find("demo finished"), std::string::npos) << demo.out;
}

// An Xvfb on a display number nobody uses; skips the test when Xvfb is missing.
class XvfbTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists("/usr/bin/Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    for (int number = 90 + ::getpid() % 50; number < 200; ++number) {
      const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
      if (std::filesystem::exists(lock)) continue;
      display_ = ":" + std::to_string(number);
      socket_ = "/tmp/.X11-unix/X" + std::to_string(number);
      break;
    }
    xvfb_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/Xvfb", display_, "-nolisten", "tcp", "-screen", "0", "640x480x24"});
    for (int wait = 0; wait < 100 && !std::filesystem::exists(socket_); ++wait) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(std::filesystem::exists(socket_)) << "Xvfb did not start on " << display_;
  }
  void TearDown() override {
    if (!xvfb_) return;
    xvfb_->Signal(SIGTERM);
    xvfb_->Wait();
  }
  std::string Environment() const { return "DISPLAY=" + display_; }

  // Relays `frame` (escapes as rdr simulate takes them) through
  // `rdr scan --to <target>` into a recording window that has the focus;
  // "WINDOW" in `target` stands for that window's id. Returns the first
  // `keys` keysyms the window received, in hex, and leaves scan's exit status
  // in scanExit_ and its error output in scanError_.
  std::vector<std::string> TypeIntoRecorder(std::string target, const std::string& frame, size_t keys) {
    ChildProcess window({X11_KEY_RECORDER}, {Environment()});
    const std::string windowId = window.ReadLine(5s).value_or("");
    if (windowId.empty()) return {};
    if (const size_t at = target.find("WINDOW"); at != std::string::npos) target.replace(at, 6, windowId);
    Simulator simulator({"--kind", "optical", "--frame", frame, "--count", "1"});
    ChildProcess scan({RDR_EXECUTABLE, "scan", "--port", simulator.Device(), "--to", target}, {Environment()});
    std::vector<std::string> received;
    while (received.size() < keys) {
      const auto key = window.ReadLine(5s);
      if (!key) break;
      received.push_back(*key);
    }
    scan.Signal(SIGTERM);
    scanExit_ = scan.Wait();
    scanError_ = scan.ErrorOutput();
    return received;
  }

  // A code of Windows-1252 characters above 127, and its keysyms: Latin-1
  // keysyms equal their character's code, € is EuroSign, the others of
  // 0x80-0x9F are Unicode keysyms (Š: U+0160); Return ends the code.
  const std::string kCode = R"(Z\xE99\xF1\xA9a\xFF\xC6b\xB5Q\xE4\x80\x8A)";
  const std::vector<std::string> kCodeKeysyms = {"5a", "e9", "39", "f1", "a9",   "61",      "ff",  "c6",
                                                 "62", "b5", "51", "e4", "20ac", "1000160", "ff0d"};
  int scanExit_ = -1;
  std::string scanError_;

  std::string display_;
  std::string socket_;
  std::unique_ptr<ChildProcess> xvfb_;
};

TEST_F(XvfbTest, CodeWithHighBytesArrivesInOrderThenReturn) {
  EXPECT_EQ(TypeIntoRecorder("x11:WINDOW", kCode, kCodeKeysyms.size()), kCodeKeysyms);
  EXPECT_EQ(scanExit_, 0) << scanError_;
}

TEST_F(XvfbTest, FocusedWindowReceivesTheCodeThroughXTest) {
  const std::vector<std::string> received = TypeIntoRecorder("x11:focused", kCode, kCodeKeysyms.size());
  if (scanError_.find("no XTest extension") != std::string::npos) GTEST_SKIP() << "this Xvfb has no XTest";
  EXPECT_EQ(received, kCodeKeysyms);
  EXPECT_EQ(scanExit_, 0) << scanError_;
}

TEST_F(XvfbTest, FrameOfSeveralCodesArrivesAsCodesEachEndedByOneReturn) {
  // CR, LF and CR LF end codes; STX, ETX and Tab are never typed.
  const std::vector<std::string> expected = {"41", "31", "ff0d", "42", "32", "ff0d", "43", "33", "ff0d", "44", "ff0d"};
  const std::vector<std::string> received =
      TypeIntoRecorder("x11:WINDOW", R"(\x02A1\x03\r\nB\t2\nC3\rD\r\n)", expected.size());
  EXPECT_EQ(received, expected);
  EXPECT_EQ(scanExit_, 0) << scanError_;
  // Said once for each code that had them.
  EXPECT_NE(scanError_.find("left out of A1: control characters \\x02\\x03\n"), std::string::npos) << scanError_;
  EXPECT_NE(scanError_.find("left out of B2: control characters \\t\n"), std::string::npos) << scanError_;
}

TEST_F(XvfbTest, LostDisplayEndsTheScanWithExitSix) {
  ChildProcess scan({RDR_EXECUTABLE, "scan", "--port", "/dev/null", "--to", "x11:focused"}, {Environment()});
  // Polling, so connected to the display.
  const auto polling = scan.ReadErrorLine(5s);
  ASSERT_TRUE(Says(polling, "not a serial port")) << polling.value_or("(none)");
  xvfb_->Signal(SIGTERM);
  xvfb_->Wait();
  EXPECT_EQ(scan.Wait(), 6);
  EXPECT_EQ(scan.ErrorOutput(), "rdr: lost the connection to the X display " + display_ + "\n");
}

TEST_F(XvfbTest, WrongWindowIsAClearError) {
  const RunResult result = RunRdr({"scan", "--port", "/dev/null", "--to", "x11:0x7"}, {Environment()});
  EXPECT_EQ(result.exitCode, 6);
  ExpectOneErrorLine(result);
}

}  // namespace
}  // namespace rdrtest
