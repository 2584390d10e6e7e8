// rdrd's configuration: the TOML file or the quick-start flags, checked as a
// whole before anything opens. Pure: no sockets, no readers.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace rdrd {

// One line naming the file, the line, the key and the value at fault.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ListenAddress {
  std::string host;  // an IP literal, without brackets
  uint16_t port = 0;
  bool ipv6 = false;
  bool IsLoopback() const;
  bool IsWildcard() const;
  std::string Text() const;  // "127.0.0.1:8765", "[::1]:8765"
};

// How a reader's codes are cut into credentials; kept as given until the
// decoding is wired, compared on reload.
struct CredentialSettings {
  std::string layout;
  std::string format;
  std::optional<int64_t> repeatHoldMs;
  std::string framing;
  bool operator==(const CredentialSettings&) const = default;
};

struct ReaderConfig {
  std::string id;
  std::string port;
  int32_t baud = 9600;
  CredentialSettings credentials;
  // A reader whose settings are equal keeps its session across a reload.
  bool operator==(const ReaderConfig&) const = default;
};

struct MqttConfig {
  std::string url;
  std::string topicPrefix = "rdr00800";
  bool Enabled() const { return !url.empty(); }
  bool operator==(const MqttConfig&) const = default;
};

struct Config {
  std::string serverId;
  std::vector<ListenAddress> listen;
  std::string tokenFile;
  std::string token;  // the file's content; never logged
  std::vector<std::string> allowedOrigins;
  size_t backlog = 10000;
  size_t maxClients = 256;
  std::vector<ReaderConfig> readers;
  MqttConfig mqtt;
};

// The host name, the default server_id.
std::string HostName();

// Parses a listen address: "127.0.0.1:8765" or "[::1]:8765" (port 0: any
// free one). Names are not resolved. std::nullopt when it is not one.
std::optional<ListenAddress> ParseListenAddress(std::string_view text);

// The credential format names a reader's `format` may take besides "auto"
// (letter case ignored); empty: any name.
using FormatNames = std::vector<std::string>;

// Parses the TOML text `text` read from `fileName` and checks it; token files
// are read relative to the working directory. Throws ConfigError.
Config ParseConfig(std::string_view text, const std::string& fileName, const FormatNames& formats = {});
// The same for a file on disk.
Config LoadConfigFile(const std::string& fileName, const FormatNames& formats = {});

// The command line: --config FILE, or the quick-start flags. Throws
// ConfigError for a config fault, std::invalid_argument for a usage fault.
struct CommandLine {
  std::string configFile;  // empty: built from the flags
  Config config;
  bool logCodes = false;
  bool showHelp = false;
  bool showVersion = false;
  FormatNames formats;
};
CommandLine ParseCommandLine(const std::vector<std::string>& arguments, const FormatNames& formats = {});

// Loads the configuration again for a reload: the file, or the flags'
// configuration unchanged.
Config ReloadConfig(const CommandLine& commandLine);

}  // namespace rdrd
