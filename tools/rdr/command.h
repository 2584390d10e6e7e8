// The rdr tool's commands: each Add...Command registers one subcommand (or a
// group) with the parser and, when that subcommand is chosen, stores what it
// runs in `body`. main() parses, runs `body` and maps errors to exit codes.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "exit_codes.h"

namespace rdr {

// A failure a command names itself; main() prints "rdr: <what>" as one line
// on standard error and exits with `code`.
class CommandError : public std::runtime_error {
 public:
  CommandError(ExitCode code, const std::string& what) : std::runtime_error(what), code_(code) {}
  ExitCode Code() const { return code_; }

 private:
  ExitCode code_;
};

// Runs the chosen command on the main thread; returns its exit code.
using CommandBody = std::function<int()>;

void AddPortsCommand(CLI::App& app, CommandBody& body);
void AddReaderCommands(CLI::App& app, CommandBody& body);  // read, prox, decode, formats
void AddScanCommand(CLI::App& app, CommandBody& body);
void AddDecryptCommand(CLI::App& app, CommandBody& body);
void AddSimulateCommand(CLI::App& app, CommandBody& body);
void AddDemoCommand(CLI::App& app, CommandBody& body);

}  // namespace rdr

namespace rdr {

// Adds --json to `command`; the flag's value once parsed.
std::shared_ptr<bool> AddJsonFlag(CLI::App& command);

// A message of the library (on a poll or a session), with the advice it
// gives hosts (map the port with a library function) put in rdr's terms.
std::string InToolTerms(std::string message);
// The library's message on the last poll of this thread, in rdr's terms.
std::string LastReadMessage();

// The error for a poll of `port` that gave no `awaited` ("frame", "card"),
// from the library's status and message for that poll: kExitDeviceUnavailable
// when the port could not be used, kExitNothingRead when it was polled.
CommandError PollFailure(const std::string& port, const std::string& awaited);

// The index of `baud` in the library's speed table; CommandError with
// kExitBadArguments when the table has no such speed.
int32_t SpeedIndex(int32_t baud);

// What --port takes, for the commands' help.
inline constexpr const char* kPortHelp =
    "COMn, LPT1, a device path such as /dev/ttyUSB0, rfc2217://HOST:PORT (a Telnet serial server) or "
    "tcp://HOST:PORT (raw TCP)";

// Whether `device` (what PortDevicePath gave) is a reader on the network.
bool IsNetworkPort(const std::string& device);

// CommandError with kExitBadArguments when `port` is a network port text
// that cannot be right as written ("port 99999 is out of range 1-65535").
void RefuseMalformedNetworkPort(const std::string& port);

}  // namespace rdr
