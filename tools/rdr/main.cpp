// rdr: try readers, decode frames, relay codes and simulate readers with the
// rdr00800 library.
#include <cstdio>

#include "command.h"
#include "rdr00800/Rdr00800.h"

namespace {

// The library belongs to the main thread for the whole run.
struct LoadedPackage {
  LoadedPackage() { Rdr00800::Pkg_Rdr00800::PackageLoad(); }
  ~LoadedPackage() { Rdr00800::Pkg_Rdr00800::PackageUnload(); }
  LoadedPackage(const LoadedPackage&) = delete;
  LoadedPackage& operator=(const LoadedPackage&) = delete;
};

int Fail(int code, const std::string& what) {
  if (!what.empty()) std::fprintf(stderr, "rdr: %s\n", what.c_str());
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"rdr: badge readers from the command line."};
  app.footer(
      "rdr COMMAND --help tells more. Exit codes: 0 done, 1 failed, 2 bad arguments, 3 device cannot be opened, "
      "4 nothing read or decoded, 5 not decrypted, 6 X11 window unavailable, 7 database unavailable.");
  app.require_subcommand(1);
  rdr::CommandBody body;
  rdr::AddPortsCommand(app, body);
  rdr::AddReaderCommands(app, body);
  rdr::AddScanCommand(app, body);
  rdr::AddDecryptCommand(app, body);
  rdr::AddSimulateCommand(app, body);
  rdr::AddDemoCommand(app, body);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(error);
    return Fail(rdr::kExitBadArguments, std::string(error.what()) + " (see rdr --help)");
  }
  try {
    LoadedPackage package;
    return body();
  } catch (const rdr::CommandError& error) {
    return Fail(error.Code(), error.what());
  } catch (const std::exception& error) {
    return Fail(rdr::kExitFailure, error.what());
  }
}
