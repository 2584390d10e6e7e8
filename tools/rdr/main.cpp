// rdr: try readers, decode frames, relay codes and simulate readers with the
// rdr00800 library.
#include <algorithm>
#include <cstdio>
#include <string_view>

#include "command.h"
#include "output.h"
#include "rdr00800/Rdr00800.h"

namespace {

// The library belongs to the main thread for the whole run.
struct LoadedPackage {
  LoadedPackage() { Rdr00800::Pkg_Rdr00800::PackageLoad(); }
  ~LoadedPackage() { Rdr00800::Pkg_Rdr00800::PackageUnload(); }
  LoadedPackage(const LoadedPackage&) = delete;
  LoadedPackage& operator=(const LoadedPackage&) = delete;
};

// The "error" word of a JSON failure, for scripts that branch on it.
const char* ErrorName(int code) {
  switch (code) {
    case rdr::kExitBadArguments:
      return "bad_arguments";
    case rdr::kExitDeviceUnavailable:
      return "device_unavailable";
    case rdr::kExitNothingRead:
      return "nothing_read";
    case rdr::kExitNotDecrypted:
      return "not_decrypted";
    case rdr::kExitWindowUnavailable:
      return "window_unavailable";
    case rdr::kExitDatabaseUnavailable:
      return "database_unavailable";
    default:
      return "failed";
  }
}

// One line on standard error for a person; with --json also one object on
// standard output, where a script reading results looks.
int Fail(bool json, int code, const std::string& what) {
  if (!what.empty()) std::fprintf(stderr, "rdr: %s\n", what.c_str());
  if (json) rdr::PrintLine(rdr::JsonLine().Text("error", ErrorName(code)).Text("reason", what).str());
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"rdr: badge readers from the command line."};
  app.footer(
      "rdr COMMAND --help tells more. Exit codes: 0 done, 1 failed, 2 bad arguments, 3 device cannot be opened, "
      "4 nothing read or decoded, 5 not decrypted, 6 X11 window unavailable, 7 database unavailable.");
  app.set_version_flag("--version", "rdr " RDR_VERSION);
  app.require_subcommand(1);
  rdr::CommandBody body;
  rdr::AddPortsCommand(app, body);
  rdr::AddReaderCommands(app, body);
  rdr::AddScanCommand(app, body);
  rdr::AddDecryptCommand(app, body);
  rdr::AddSimulateCommand(app, body);
  rdr::AddDemoCommand(app, body);
  const bool json =
      std::any_of(argv + 1, argv + argc, [](const char* arg) { return std::string_view(arg) == "--json"; });
  if (argc > 1 && argv[1][0] != '-' &&
      app.get_subcommands([&](const CLI::App* command) { return command->get_name() == argv[1]; }).empty()) {
    return Fail(json, rdr::kExitBadArguments, std::string("unknown command '") + argv[1] + "' (see rdr --help)");
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(error);
    return Fail(json, rdr::kExitBadArguments, std::string(error.what()) + " (see rdr --help)");
  }
  try {
    LoadedPackage package;
    return body();
  } catch (const rdr::CommandError& error) {
    return Fail(json, error.Code(), error.what());
  } catch (const std::exception& error) {
    return Fail(json, rdr::kExitFailure, error.what());
  }
}
