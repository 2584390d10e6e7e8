// rdr decrypt: one code through the decryption library, in the one-shot
// style (with the host's database) or the resident style.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "command.h"
#include "decode/ascii_case.h"
#include "decrypt/gateway.h"
#include "output.h"
#include "rdr00800/Rdr00800.h"
#include "sample_library.h"

namespace rdr {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLibraryName = "KQZR32.dll";

struct DecryptOptions {
  std::string directory;
  std::string library;
  bool resident = false;
  std::string connection;
  std::string code;
};

// The library's messages are in its hosts' language; each one it can show
// gets an English line after it. Keyed on words of the library's table.
// A missing Cliente.Cfg is told apart by the library's answer instead.
std::string InEnglish(const std::string& utf8) {
  if (utf8.find("carregar o arquivo KQZR32.dll") != std::string::npos) {
    return "KQZR32.dll could not be loaded (another architecture, or a library it needs is missing)";
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

// Which file the gateway loaded, from its trace line, so that the command
// can say which library answered and refuse an answer from the wrong one.
class LoadedLibraryWatch {
 public:
  LoadedLibraryWatch() {
    Rdr00800::SetTraceHandler([this](std::string_view line) {
      constexpr std::string_view kLoad = "gateway: load KQZR32.dll: ";
      if (!line.starts_with(kLoad)) return;
      line.remove_prefix(kLoad.size());
      file_ = line.starts_with("not loaded") ? std::string() : std::string(line);
    });
  }
  ~LoadedLibraryWatch() { Rdr00800::SetTraceHandler(nullptr); }
  LoadedLibraryWatch(const LoadedLibraryWatch&) = delete;
  LoadedLibraryWatch& operator=(const LoadedLibraryWatch&) = delete;

  // The file loaded, said on standard error as the one that answers; a
  // command error when it is not the one the options named (`wanted`: the
  // file, or the directory holding it; empty when any will do).
  std::string Confirm(const fs::path& wanted) const {
    if (file_.empty()) return file_;
    std::error_code error;
    const bool named = wanted.empty() || fs::equivalent(file_, wanted, error) ||
                       fs::equivalent(fs::path(file_).parent_path(), wanted, error);
    if (!named) {
      throw CommandError(kExitNotDecrypted,
                         file_ + " was loaded instead of " + wanted.string() + ", and its answer is not used");
    }
    std::fprintf(stderr, "rdr: answered by %s\n", file_.c_str());
    return file_;
  }

 private:
  std::string file_;
};

// Why a library that answered "CLIENTE.CFG" found no configuration in
// `directory`: a present file that it could not use is not a missing one.
std::string ConfigurationProblem(const fs::path& directory) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    if (!Rdr00800::detail::EqualsIgnoringAsciiCase(entry.path().filename().string(), "Cliente.Cfg")) continue;
    const std::string path = entry.path().string();
    if (!entry.is_regular_file(error)) return path + " is there but is not a file";
    std::ifstream file(entry.path());
    if (!file) return path + " is there but cannot be read (" + std::strerror(errno) + ")";
    if (file.peek() == std::ifstream::traits_type::eof()) return path + " is there but empty";
    return path + " is there but the decryption library found no key in it";
  }
  return "the decryption library found no Cliente.Cfg in " + directory.string();
}

// The answer, unless it is empty: the library gives that for a code it cannot
// take, such as one too long for its buffer.
std::string NonEmptyAnswer(const std::string& result, const std::string& code) {
  if (!result.empty()) return result;
  throw CommandError(kExitNotDecrypted, "the decryption library answered nothing for the " +
                                            std::to_string(code.size()) +
                                            "-character code: it may be too long for it (the sample library "
                                            "takes at most 1023 characters)");
}

struct ResidentLibrary {
  ResidentLibrary() { Rdr00800::StartDigVerif(); }
  ~ResidentLibrary() { Rdr00800::StopDigVerif(); }
  ResidentLibrary(const ResidentLibrary&) = delete;
  ResidentLibrary& operator=(const ResidentLibrary&) = delete;
};

struct Answer {
  std::string result;
  std::string library;  // the file that answered
};

// `configuration`: the directory the library reads Cliente.Cfg from.
Answer DecryptResident(const DecryptOptions& options, const fs::path& configuration) {
  LoadedLibraryWatch loaded;
  ResidentLibrary library;
  if (!Rdr00800::DigVerifOK) {
    throw CommandError(kExitNotDecrypted, options.library.empty()
                                              ? "KQZR32.dll was not found beside rdr nor on the library path, or "
                                                "has no DescriptografaMatricula entry"
                                              : options.library +
                                                    " could not be loaded, or has no "
                                                    "DescriptografaMatricula entry");
  }
  Answer answer;
  answer.library = loaded.Confirm(options.library);
  answer.result = Rdr00800::GetMatriculaDV(options.code);
  if (Rdr00800::detail::IsMissingConfigurationAnswer(answer.result)) {
    throw CommandError(kExitNotDecrypted, ConfigurationProblem(configuration));
  }
  answer.result = NonEmptyAnswer(answer.result, options.code);
  return answer;
}

Answer DecryptOnce(const DecryptOptions& options, const fs::path& directory) {
  // Without a connection string the library would name its default provider,
  // which says nothing to a person trying the tool.
  if (options.connection.empty()) {
    throw CommandError(kExitDatabaseUnavailable,
                       "no database: give --connection (for example \"Driver=SQLite3;Database=/tmp/rdr.db\"), "
                       "or use --resident");
  }
  MessagesOnStandardError messages;
  LoadedLibraryWatch loaded;
  Rdr00800::SetDefaultConnectionString(options.connection);
  std::string withSeparator = directory.string();
  if (withSeparator.back() != '/') withSeparator += '/';
  Answer answer;
  bool decrypted = false;
  try {
    decrypted = Rdr00800::LeitorDescriptoDll(answer.result, withSeparator, options.code);
  } catch (const Rdr00800::EDatabaseError& error) {
    throw CommandError(kExitDatabaseUnavailable, std::string("database: ") + error.what());
  }
  answer.library = loaded.Confirm(options.library.empty() ? directory : fs::path(options.library));
  if (decrypted) {
    answer.result = NonEmptyAnswer(answer.result, options.code);
    return answer;
  }
  if (Rdr00800::detail::IsMissingConfigurationAnswer(answer.result)) {
    throw CommandError(kExitNotDecrypted, ConfigurationProblem(directory));
  }
  throw CommandError(kExitNotDecrypted, messages.LastInEnglish().empty()
                                            ? "KQZR32.dll has no DescriptografaMatricula entry"
                                            : messages.LastInEnglish());
}

int RunDecrypt(const DecryptOptions& options, bool json) {
  if (options.code.empty()) throw CommandError(kExitNotDecrypted, "the code is empty: there is nothing to decrypt");
  // The gateway looks in this directory first, so the file the options name is
  // the one loaded, not a copy beside rdr.
  const fs::path libraryDirectory =
      options.library.empty() ? fs::path(options.directory) : fs::path(options.library).parent_path();
  Rdr00800::SetDecryptionLibraryDirectory(libraryDirectory.string());
  const Answer answer =
      options.resident
          ? DecryptResident(options, libraryDirectory.empty() ? fs::path(ExecutableDirectory()) : libraryDirectory)
          : DecryptOnce(options, options.directory.empty() ? libraryDirectory : fs::path(options.directory));
  PrintResult(json,
              JsonLine()
                  .Text("style", options.resident ? "resident" : "one-shot")
                  .Bytes("code", options.code)
                  .Bytes("result", answer.result)
                  .Text("library", answer.library),
              answer.result);
  return kExitOk;
}

}  // namespace

void AddDecryptCommand(CLI::App& app, CommandBody& body) {
  auto* decrypt = app.add_subcommand("decrypt", "Decrypt a consumer code with the decryption library");
  decrypt->footer(
      "KQZR32.dll is loaded from the directory of --library, else --dir, else rdr's own directory first; rdr says "
      "on standard error which file answered, and refuses the answer of a file other than the one named. "
      "One-shot style (default): Cliente.Cfg and a KQZR32.dll must be in --dir (the directory of --library "
      "when --dir is not given, rdr's own directory when neither is), and the host's database must open. Resident "
      "style: the library reads "
      "Cliente.Cfg from its own directory; no database. An empty code, or one the library answers with "
      "nothing, is not decrypted.");
  auto options = std::make_shared<DecryptOptions>();
  auto* directory = decrypt->add_option("--dir", options->directory, "Directory holding KQZR32.dll and Cliente.Cfg");
  decrypt->add_option("--library", options->library, "The decryption library file to load (named KQZR32.dll)")
      ->check(CLI::ExistingFile);
  auto* resident = decrypt->add_flag("--resident", options->resident, "Use the resident style");
  auto* connection = decrypt->add_option("--connection", options->connection,
                                         "ODBC connection string of the host's database, for example "
                                         "\"Driver=SQLite3;Database=/tmp/rdr.db\"");
  resident->excludes(directory)->excludes(connection);
  decrypt->add_option("CODE", options->code, "The encrypted code")->required();
  const auto json = AddJsonFlag(*decrypt);
  decrypt->callback([&body, options, json] {
    if (!options->library.empty()) {
      // The gateway looks for the library by this name in the file's directory.
      const fs::path library = fs::absolute(options->library);
      if (!Rdr00800::detail::EqualsIgnoringAsciiCase(library.filename().string(), kLibraryName)) {
        throw CLI::ValidationError("--library", "the gateway loads only a file named KQZR32.dll; link or copy " +
                                                    options->library + " under that name");
      }
      options->library = library.string();
    }
    if (!options->directory.empty()) options->directory = fs::absolute(options->directory).string();
    // Plain `rdr decrypt CODE`: the library and Cliente.Cfg beside rdr, as installed and as built.
    if (!options->resident && options->directory.empty() && options->library.empty()) {
      options->directory = ExecutableDirectory();
    }
    body = [=] { return RunDecrypt(*options, *json); };
  });
}

}  // namespace rdr
