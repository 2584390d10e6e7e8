#include "config.h"

#include <arpa/inet.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>

#include "broker_url.h"

namespace rdrd {
namespace {

constexpr int64_t kMaxBacklog = 10'000'000;
constexpr int64_t kMaxClients = 100'000;
constexpr int64_t kMaxBaud = 4'000'000;
constexpr int64_t kMaxRepeatHoldMs = 600'000;

std::string ReadWholeFile(const std::string& fileName, std::string_view what) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw ConfigError(std::string(fileName) + ": cannot read the " + std::string(what));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Where a fault lies: the file and line, the key and its value as written.
class Place {
 public:
  Place(const std::string& fileName, std::string key, const toml::node& node)
      : fileName_(fileName), key_(std::move(key)), node_(node) {}

  [[noreturn]] void Fail(std::string_view reason) const {
    throw ConfigError(fileName_ + ":" + std::to_string(node_.source().begin.line) + ": " + key_ + " = " +
                      ValueText(node_) + ": " + std::string(reason));
  }

  // The value as written, texts in double quotes with JSON's escapes.
  static std::string ValueText(const toml::node& node) {
    if (const auto* text = node.as_string()) return nlohmann::json(text->get()).dump();
    if (node.is_table()) return "{...}";
    if (const auto* array = node.as_array()) {
      std::string items;
      for (const auto& item : *array) items += (items.empty() ? "" : ", ") + ValueText(item);
      return "[" + items + "]";
    }
    std::ostringstream value;
    node.visit([&](const auto& item) { value << item; });
    return value.str();
  }

  std::string Text() const {
    const auto* text = node_.as_string();
    if (text == nullptr) Fail("not a text");
    return text->get();
  }
  std::string NonEmptyText() const {
    std::string text = Text();
    if (text.empty()) Fail("empty");
    return text;
  }
  int64_t Integer(int64_t low, int64_t high) const {
    const auto* number = node_.as_integer();
    if (number == nullptr) Fail("not a whole number");
    if (number->get() < low || number->get() > high) {
      Fail("out of range " + std::to_string(low) + ".." + std::to_string(high));
    }
    return number->get();
  }
  std::vector<std::string> Texts() const {
    const auto* array = node_.as_array();
    if (array == nullptr) Fail("not a list of texts");
    std::vector<std::string> texts;
    for (size_t i = 0; i < array->size(); ++i) {
      texts.push_back(Place(fileName_, key_ + "[" + std::to_string(i) + "]", *array->get(i)).NonEmptyText());
    }
    return texts;
  }
  Place Item(size_t index, const toml::node& node) const {
    return Place(fileName_, key_ + "[" + std::to_string(index) + "]", node);
  }
  const std::string& FileName() const { return fileName_; }
  const std::string& Key() const { return key_; }

 private:
  const std::string& fileName_;
  std::string key_;
  const toml::node& node_;
};

bool IsReaderId(std::string_view id) {
  if (id.empty() || id.size() > 64) return false;
  for (char c : id) {
    const bool fits =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!fits) return false;
  }
  return true;
}

bool IsLayout(std::string_view layout) {
  if (layout == "hex40" || layout == "hex" || layout == "packed" || layout == "em4100") return true;
  if (!layout.starts_with("hex:")) return false;
  const std::string_view digits = layout.substr(4);
  int length = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), length);
  return error == std::errc() && end == digits.data() + digits.size() && length > 0 && length <= 64;
}

// An origin as browsers send it: scheme://host[:port], nothing after.
bool IsOrigin(std::string_view origin) {
  const size_t scheme = origin.find("://");
  if (scheme == std::string_view::npos || scheme == 0 || origin.size() == scheme + 3) return false;
  for (char c : origin) {
    if (c <= ' ' || c == '?' || c == '#' || static_cast<unsigned char>(c) >= 0x7f) return false;
  }
  return origin.find('/', scheme + 3) == std::string_view::npos;
}

using FailWith = std::function<void(std::string_view reason)>;

// Under systemd the token is the unit's credential (LoadCredential=):
// "${CREDENTIALS_DIRECTORY}/token" names it wherever systemd put it.
std::string TokenPath(const std::string& tokenFile, const FailWith& fail) {
  static constexpr std::string_view kCredentials = "${CREDENTIALS_DIRECTORY}";
  if (!tokenFile.starts_with(kCredentials)) return tokenFile;
  const char* directory = std::getenv("CREDENTIALS_DIRECTORY");
  if (directory == nullptr || *directory == '\0') fail("CREDENTIALS_DIRECTORY is not set (rdrd.service sets it)");
  return directory + tokenFile.substr(kCredentials.size());
}

std::string ReadToken(const std::string& tokenFile, const FailWith& fail) {
  std::ifstream in(TokenPath(tokenFile, fail), std::ios::binary);
  if (!in) fail("cannot read the token file");
  std::ostringstream text;
  text << in.rdbuf();
  std::string token = text.str();
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' ')) token.pop_back();
  if (token.empty()) fail("the token file is empty");
  for (char c : token) {
    // The token travels in a header and a subprotocol name: printable ASCII
    // without separators.
    if (c <= ' ' || static_cast<unsigned char>(c) >= 0x7f || c == ',' || c == '"') {
      fail("the token holds a space, a comma or a control character");
    }
  }
  return token;
}

bool KnownFormat(std::string_view format, const FormatNames& formats) {
  if (formats.empty() || format == "auto") return true;
  const auto lower = [](std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  };
  return std::any_of(formats.begin(), formats.end(), [&](const auto& name) { return lower(name) == lower(format); });
}

ReaderConfig ParseReader(const Place& place, const toml::node& node, const FormatNames& formats) {
  const auto* table = node.as_table();
  if (table == nullptr) place.Fail("not a table");
  ReaderConfig reader;
  bool hasId = false;
  bool hasPort = false;
  for (const auto& [key, value] : *table) {
    const Place item(place.FileName(), place.Key() + "." + std::string(key.str()), value);
    if (key == "id") {
      reader.id = item.Text();
      if (!IsReaderId(reader.id)) item.Fail("an id is 1 to 64 letters, digits, - and _");
      hasId = true;
    } else if (key == "port") {
      reader.port = item.NonEmptyText();
      hasPort = true;
    } else if (key == "baud") {
      reader.baud = static_cast<int32_t>(item.Integer(1, kMaxBaud));
    } else if (key == "layout") {
      reader.credentials.layout = item.Text();
      if (!IsLayout(reader.credentials.layout)) item.Fail("not a layout (hex40, hex, hex:N, packed, em4100)");
    } else if (key == "format") {
      reader.credentials.format = item.NonEmptyText();
      if (!KnownFormat(reader.credentials.format, formats)) item.Fail("no such credential format");
    } else if (key == "repeat_hold_ms") {
      reader.credentials.repeatHoldMs = item.Integer(0, kMaxRepeatHoldMs);
    } else if (key == "framing") {
      reader.credentials.framing = item.Text();
      if (reader.credentials.framing != "line-ends" && reader.credentials.framing != "stx-etx") {
        item.Fail("not a framing (line-ends, stx-etx)");
      }
    } else {
      item.Fail("unknown key");
    }
  }
  if (!hasId) place.Fail("a reader needs an id");
  if (!hasPort) place.Fail("a reader needs a port");
  if (reader.credentials.layout.empty() && !reader.credentials.format.empty()) place.Fail("a format needs a layout");
  return reader;
}

MqttConfig ParseMqtt(const Place& place, const toml::node& node) {
  const auto* table = node.as_table();
  if (table == nullptr) place.Fail("not a table");
  MqttConfig mqtt;
  for (const auto& [key, value] : *table) {
    const Place item(place.FileName(), "mqtt." + std::string(key.str()), value);
    if (key == "url") {
      mqtt.url = item.NonEmptyText();
      try {
        ParseBrokerUrl(mqtt.url);
      } catch (const std::invalid_argument& error) {
        item.Fail(error.what());
      }
    } else if (key == "topic_prefix") {
      mqtt.topicPrefix = item.NonEmptyText();
      if (mqtt.topicPrefix.find_first_of("#+") != std::string::npos) item.Fail("a topic prefix holds no # or +");
    } else {
      item.Fail("unknown key");
    }
  }
  return mqtt;
}

// Checks shared by the file and the flags.
void CheckReaderIds(const std::vector<ReaderConfig>& readers, const std::function<void(size_t)>& failDuplicate) {
  std::set<std::string> seen;
  for (size_t i = 0; i < readers.size(); ++i) {
    if (!seen.insert(readers[i].id).second) failDuplicate(i);
  }
}

bool NeedsToken(const Config& config) {
  for (const auto& address : config.listen) {
    if (!address.IsLoopback()) return true;
  }
  return false;
}

std::vector<ListenAddress> DefaultListen() {
  return {*ParseListenAddress("127.0.0.1:8765"), *ParseListenAddress("[::1]:8765")};
}

}  // namespace

bool ListenAddress::IsLoopback() const {
  if (ipv6) return host == "::1";
  return host.starts_with("127.");
}

bool ListenAddress::IsWildcard() const { return host == "0.0.0.0" || host == "::"; }

std::string ListenAddress::Text() const { return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port); }

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

std::optional<ListenAddress> ParseListenAddress(std::string_view text) {
  ListenAddress address;
  std::string_view portText;
  if (text.starts_with("[")) {
    const size_t close = text.find("]:");
    if (close == std::string_view::npos) return std::nullopt;
    address.host = std::string(text.substr(1, close - 1));
    address.ipv6 = true;
    portText = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    address.host = std::string(text.substr(0, colon));
    portText = text.substr(colon + 1);
  }
  unsigned char binary[16];
  if (inet_pton(address.ipv6 ? AF_INET6 : AF_INET, address.host.c_str(), binary) != 1) return std::nullopt;
  int port = -1;
  const auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (error != std::errc() || end != portText.data() + portText.size() || port < 0 || port > 65535) {
    return std::nullopt;
  }
  address.port = static_cast<uint16_t>(port);
  // One spelling per address, so Host headers compare as text.
  char canonical[INET6_ADDRSTRLEN] = {};
  inet_ntop(address.ipv6 ? AF_INET6 : AF_INET, binary, canonical, sizeof canonical);
  address.host = canonical;
  return address;
}

Config ParseConfig(std::string_view text, const std::string& fileName, const FormatNames& formats) {
  toml::table root;
  try {
    root = toml::parse(text, fileName);
  } catch (const toml::parse_error& error) {
    throw ConfigError(fileName + ":" + std::to_string(error.source().begin.line) + ": " +
                      std::string(error.description()));
  }
  Config config;
  config.serverId = HostName();
  config.listen = DefaultListen();
  std::optional<Place> listenPlace;
  std::optional<Place> readerPlace;
  for (const auto& [key, value] : root) {
    const Place place(fileName, std::string(key.str()), value);
    if (key == "server_id") {
      config.serverId = place.NonEmptyText();
    } else if (key == "listen") {
      config.listen.clear();
      const auto texts = place.Texts();
      if (texts.empty()) place.Fail("listen on at least one address");
      for (size_t i = 0; i < texts.size(); ++i) {
        const auto address = ParseListenAddress(texts[i]);
        if (!address) place.Item(i, *value.as_array()->get(i)).Fail("not an address:port (names are not resolved)");
        config.listen.push_back(*address);
      }
      listenPlace.emplace(place);
    } else if (key == "token_file") {
      config.tokenFile = place.NonEmptyText();
      config.token = ReadToken(config.tokenFile, [&](std::string_view reason) { place.Fail(reason); });
    } else if (key == "allowed_origins") {
      config.allowedOrigins = place.Texts();
      for (size_t i = 0; i < config.allowedOrigins.size(); ++i) {
        if (!IsOrigin(config.allowedOrigins[i])) {
          place.Item(i, *value.as_array()->get(i)).Fail("not an origin (scheme://host[:port])");
        }
      }
    } else if (key == "backlog") {
      config.backlog = static_cast<size_t>(place.Integer(1, kMaxBacklog));
    } else if (key == "max_clients") {
      config.maxClients = static_cast<size_t>(place.Integer(1, kMaxClients));
    } else if (key == "reader") {
      const auto* readers = value.as_array();
      if (readers == nullptr || !readers->is_array_of_tables()) place.Fail("readers are [[reader]] tables");
      for (size_t i = 0; i < readers->size(); ++i) {
        config.readers.push_back(ParseReader(place.Item(i, *readers->get(i)), *readers->get(i), formats));
      }
      CheckReaderIds(config.readers, [&](size_t i) {
        const toml::node& id = *readers->get(i)->as_table()->get("id");
        Place(fileName, "reader[" + std::to_string(i) + "].id", id).Fail("duplicate reader id");
      });
    } else if (key == "mqtt") {
      config.mqtt = ParseMqtt(place, value);
    } else {
      place.Fail("unknown key");
    }
  }
  if (config.token.empty() && NeedsToken(config)) {
    if (listenPlace) listenPlace->Fail("an address beyond loopback needs token_file");
  }
  return config;
}

Config LoadConfigFile(const std::string& fileName, const FormatNames& formats) {
  return ParseConfig(ReadWholeFile(fileName, "configuration"), fileName, formats);
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments, const FormatNames& formats) {
  CommandLine line;
  line.formats = formats;
  line.config.serverId = HostName();
  bool quickStart = false;
  std::vector<ListenAddress> listen;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& flag = arguments[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= arguments.size()) throw std::invalid_argument(flag + " needs a value");
      return arguments[++i];
    };
    auto fail = [&](const std::string& given, std::string_view reason) {
      throw ConfigError("command line: " + flag + " " + given + ": " + std::string(reason));
    };
    if (flag == "--config") {
      line.configFile = value();
    } else if (flag == "--log-codes") {
      line.logCodes = true;
    } else if (flag == "--help" || flag == "-h") {
      line.showHelp = true;
    } else if (flag == "--version") {
      line.showVersion = true;
    } else if (flag == "--reader") {
      quickStart = true;
      const std::string& given = value();
      const size_t equals = given.find('=');
      if (equals == std::string::npos) fail(given, "give id=PORT[,BAUD]");
      ReaderConfig reader;
      reader.id = given.substr(0, equals);
      reader.port = given.substr(equals + 1);
      if (!IsReaderId(reader.id)) fail(given, "an id is 1 to 64 letters, digits, - and _");
      const size_t comma = reader.port.rfind(',');
      if (comma != std::string::npos) {
        const std::string baud = reader.port.substr(comma + 1);
        int64_t speed = 0;
        const auto [end, error] = std::from_chars(baud.data(), baud.data() + baud.size(), speed);
        if (error != std::errc() || end != baud.data() + baud.size() || speed < 1 || speed > kMaxBaud) {
          fail(given, "not a speed after the comma");
        }
        reader.baud = static_cast<int32_t>(speed);
        reader.port.resize(comma);
      }
      if (reader.port.empty()) fail(given, "no port");
      line.config.readers.push_back(reader);
      CheckReaderIds(line.config.readers, [&](size_t) { fail(given, "duplicate reader id"); });
    } else if (flag == "--listen") {
      quickStart = true;
      const std::string& given = value();
      const auto address = ParseListenAddress(given);
      if (!address) fail(given, "not an address:port (names are not resolved)");
      listen.push_back(*address);
    } else if (flag == "--token-file") {
      quickStart = true;
      const std::string& given = value();
      line.config.tokenFile = given;
      line.config.token = ReadToken(given, [&](std::string_view reason) { fail(given, reason); });
    } else if (flag == "--allow-origin") {
      quickStart = true;
      const std::string& given = value();
      if (!IsOrigin(given)) fail(given, "not an origin (scheme://host[:port])");
      line.config.allowedOrigins.push_back(given);
    } else {
      throw std::invalid_argument("unknown argument " + flag);
    }
  }
  if (line.showHelp || line.showVersion) return line;
  if (!line.configFile.empty()) {
    if (quickStart) throw std::invalid_argument("--config takes no --reader, --listen, --token-file or --allow-origin");
    line.config = LoadConfigFile(line.configFile, formats);
    return line;
  }
  line.config.listen = listen.empty() ? DefaultListen() : listen;
  if (line.config.token.empty() && NeedsToken(line.config)) {
    throw ConfigError("command line: --listen " + line.config.listen.front().Text() +
                      ": an address beyond loopback needs --token-file");
  }
  return line;
}

Config ReloadConfig(const CommandLine& commandLine) {
  if (commandLine.configFile.empty()) return commandLine.config;
  return LoadConfigFile(commandLine.configFile, commandLine.formats);
}

}  // namespace rdrd
