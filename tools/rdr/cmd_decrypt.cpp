// rdr decrypt: one code through the decryption library, in the one-shot
// style (with the host's database) or the resident style.
#include <cstdio>

#include "command.h"
#include "decrypt/gateway.h"
#include "output.h"
#include "rdr00800/Rdr00800.h"

namespace rdr {
namespace {

struct DecryptOptions {
  std::string directory;
  bool resident = false;
  std::string connection;
  std::string code;
};

// The library's messages are in its hosts' language; each one it can show
// gets an English line after it. Keyed on words of the library's table.
std::string InEnglish(const std::string& utf8) {
  if (utf8.find("(Cliente.Cfg)") != std::string::npos) {
    return "the decryption library found no Cliente.Cfg in --dir";
  }
  if (utf8.find("carregar o arquivo KQZR32.dll") != std::string::npos) {
    return "KQZR32.dll is in --dir but could not be loaded (another architecture, or a library it needs is missing)";
  }
  if (utf8.find("KQZR32.dll n") != std::string::npos) return "KQZR32.dll is not in --dir";
  return "the decryption library did not decrypt the code";
}

// Shows the framework's messages as they come, and stops showing them when
// the command ends. The English for the last one becomes the command's error.
class MessagesOnStandardError {
 public:
  MessagesOnStandardError() {
    Rdr00800::SetDefaultMessageHandler([this](const std::string& utf8) {
      std::fprintf(stderr, "rdr: %s\n", utf8.c_str());
      english_ = InEnglish(utf8);
    });
  }
  ~MessagesOnStandardError() { Rdr00800::SetDefaultMessageHandler({}); }
  MessagesOnStandardError(const MessagesOnStandardError&) = delete;
  MessagesOnStandardError& operator=(const MessagesOnStandardError&) = delete;
  const std::string& LastInEnglish() const { return english_; }

 private:
  std::string english_;
};

struct ResidentLibrary {
  ResidentLibrary() { Rdr00800::StartDigVerif(); }
  ~ResidentLibrary() { Rdr00800::StopDigVerif(); }
  ResidentLibrary(const ResidentLibrary&) = delete;
  ResidentLibrary& operator=(const ResidentLibrary&) = delete;
};

std::string DecryptResident(const std::string& code) {
  ResidentLibrary library;
  if (!Rdr00800::DigVerifOK) {
    throw CommandError(kExitNotDecrypted,
                       "KQZR32.dll was not found beside rdr nor on the library path, or has no "
                       "DescriptografaMatricula entry");
  }
  const std::string result = Rdr00800::GetMatriculaDV(code);
  if (Rdr00800::detail::IsMissingConfigurationAnswer(result)) {
    throw CommandError(kExitNotDecrypted, "KQZR32.dll found no Cliente.Cfg beside rdr");
  }
  return result;
}

std::string DecryptOnce(const DecryptOptions& options) {
  // Without a connection string the library would name its default provider,
  // which says nothing to a person trying the tool.
  if (options.connection.empty()) {
    throw CommandError(kExitDatabaseUnavailable,
                       "no database: give --connection (for example \"Driver=SQLite3;Database=/tmp/rdr.db\"), "
                       "or use --resident");
  }
  MessagesOnStandardError messages;
  Rdr00800::SetDefaultConnectionString(options.connection);
  std::string directory = options.directory;
  if (directory.back() != '/') directory += '/';
  std::string result;
  bool decrypted = false;
  try {
    decrypted = Rdr00800::LeitorDescriptoDll(result, directory, options.code);
  } catch (const Rdr00800::EDatabaseError& error) {
    throw CommandError(kExitDatabaseUnavailable, std::string("database: ") + error.what());
  }
  if (decrypted) return result;
  throw CommandError(kExitNotDecrypted, messages.LastInEnglish().empty()
                                            ? "KQZR32.dll has no DescriptografaMatricula entry"
                                            : messages.LastInEnglish());
}

int RunDecrypt(const DecryptOptions& options, bool json) {
  const std::string result = options.resident ? DecryptResident(options.code) : DecryptOnce(options);
  PrintResult(json,
              JsonLine()
                  .Text("style", options.resident ? "resident" : "one-shot")
                  .Bytes("code", options.code)
                  .Bytes("result", result),
              result);
  return kExitOk;
}

}  // namespace

void AddDecryptCommand(CLI::App& app, CommandBody& body) {
  auto* decrypt = app.add_subcommand("decrypt", "Decrypt a consumer code with the decryption library");
  decrypt->footer(
      "The decryption library KQZR32.dll is loaded from rdr's own directory first. One-shot style (default): "
      "the library file and Cliente.Cfg must be in --dir, and the host's database must open. Resident style: "
      "the library reads Cliente.Cfg from rdr's directory; no database.");
  auto options = std::make_shared<DecryptOptions>();
  auto* directory = decrypt->add_option("--dir", options->directory, "Directory holding KQZR32.dll and Cliente.Cfg");
  auto* resident = decrypt->add_flag("--resident", options->resident, "Use the resident style");
  auto* connection = decrypt->add_option("--connection", options->connection,
                                         "ODBC connection string of the host's database, for example "
                                         "\"Driver=SQLite3;Database=/tmp/rdr.db\"");
  resident->excludes(directory)->excludes(connection);
  decrypt->add_option("CODE", options->code, "The encrypted code")->required();
  const auto json = AddJsonFlag(*decrypt);
  decrypt->callback([&body, options, json] {
    if (!options->resident && options->directory.empty()) {
      throw CLI::ValidationError("--dir", "required unless --resident is given");
    }
    body = [=] { return RunDecrypt(*options, *json); };
  });
}

}  // namespace rdr
