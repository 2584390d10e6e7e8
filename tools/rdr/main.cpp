// rdr: try readers, decode frames, relay codes and simulate readers with the
// rdr00800 library.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
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

// An option that takes a value but is followed by another option of the
// command: CLI11 would take that option as the value ("scan --port --json"
// would poll a port named --json). Its message, or nothing.
std::optional<std::string> OptionWithoutValue(const CLI::App& app, int argc, char** argv) {
  const CLI::App* command = &app;
  for (int at = 1; at + 1 < argc; ++at) {
    const std::string word = argv[at];
    if (at == 1) {
      const auto chosen = app.get_subcommands([&](const CLI::App* each) { return each->get_name() == word; });
      if (!chosen.empty()) command = chosen.front();
    }
    const auto isOption = [command](const std::string& text) {
      return text.starts_with("-") ? command->get_option_no_throw(text) : nullptr;
    };
    const CLI::Option* option = isOption(word);
    if (option && option->get_items_expected_min() > 0 && isOption(argv[at + 1])) {
      return word + " lacks its value: " + argv[at + 1] + " is another option";
    }
  }
  return std::nullopt;
}

// "(see rdr scan --help)" for a command's arguments, "(see rdr --help)" otherwise.
std::string HelpHint(const CLI::App& app, int argc, char** argv) {
  const bool command =
      argc > 1 && !app.get_subcommands([&](const CLI::App* each) { return each->get_name() == argv[1]; }).empty();
  return command ? std::string(" (see rdr ") + argv[1] + " --help)" : std::string(" (see rdr --help)");
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
  rdr::SetJsonFailures(json);
  if (argc > 1 && argv[1][0] != '-' &&
      app.get_subcommands([&](const CLI::App* command) { return command->get_name() == argv[1]; }).empty()) {
    return rdr::Fail(rdr::kExitBadArguments, std::string("unknown command '") + argv[1] + "' (see rdr --help)");
  }
  if (const auto lacking = OptionWithoutValue(app, argc, argv)) {
    return rdr::Fail(rdr::kExitBadArguments, *lacking + HelpHint(app, argc, argv));
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(error);
    return rdr::Fail(rdr::kExitBadArguments, std::string(error.what()) + HelpHint(app, argc, argv));
  }
  try {
    LoadedPackage package;
    return body();
  } catch (const rdr::CommandError& error) {
    return rdr::Fail(error.Code(), error.what());
  } catch (const std::exception& error) {
    return rdr::Fail(rdr::kExitFailure, error.what());
  }
}
