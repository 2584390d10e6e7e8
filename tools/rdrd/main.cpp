// rdrd: delivers every code of its readers as a JSON event over Server-Sent
// Events and WebSocket (and whatever extensions add).
#include <cstdio>
#include <iostream>

#include "config.h"
#include "mqtt_extension.h"
#include "rdr00800/Rdr00800.h"
#include "service.h"

namespace {

constexpr int kExitConfig = 2;

constexpr const char* kUsage =
    "usage: rdrd --config FILE [--log-codes]\n"
    "       rdrd --reader ID=PORT[,BAUD]... [--listen ADDRESS:PORT]... [--token-file FILE]\n"
    "            [--allow-origin ORIGIN]... [--log-codes]\n";

}  // namespace

int main(int argc, char** argv) {
  rdrd::CommandLine commandLine;
  try {
    commandLine =
        rdrd::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), Rdr00800::CredentialFormats());
  } catch (const rdrd::ConfigError& error) {
    std::cerr << "rdrd: " << error.what() << '\n';
    return kExitConfig;
  } catch (const std::invalid_argument& error) {
    std::cerr << "rdrd: " << error.what() << '\n' << kUsage;
    return kExitConfig;
  }
  if (commandLine.showHelp) {
    std::cout << kUsage;
    return 0;
  }
  if (commandLine.showVersion) {
    std::cout << "rdrd " << RDRD_VERSION << '\n';
    return 0;
  }
  return rdrd::RunService(commandLine, {rdrd::MakeMqttExtension});
}
