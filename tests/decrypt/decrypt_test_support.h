// Shared pieces of the decryption tests: a host framework that records what
// the library hands it, a private ODBC configuration, temporary directories
// and decryption libraries placed beside the test executable.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "rdr00800/Rdr00800.h"

namespace rdrtest {

// One Mensagem call with its nine arguments.
struct MessageCall {
  std::string text, caption, confirmFlag, logFlag;
  Rdr00800::TTipoMsg kind;
  std::string helpContext, detail;
  int32_t buttons;
  Rdr00800::TClientDataSet* dataSet;
};

class RecordingFramework : public Rdr00800::HostFramework {
 public:
  std::string connectionString;
  std::vector<std::string> connectionStringQueries;
  std::vector<Rdr00800::TADOConnection*> sessions;
  std::vector<void*> sessionHandles;  // the ODBC handle when each was given
  std::vector<Rdr00800::TDataModule*> translated;
  std::vector<MessageCall> messages;
  bool throwFromMensagem = false;

  std::string GetStringConexLum(const std::string& text) override;
  void SetADODBSession(Rdr00800::TADOConnection* connection) override;
  void Trad(Rdr00800::TDataModule* form) override;
  void Mensagem(const std::string& text, const std::string& caption, const std::string& confirmFlag,
                const std::string& logFlag, Rdr00800::TTipoMsg kind, const std::string& helpContext,
                const std::string& detail, int32_t buttons, Rdr00800::TClientDataSet* dataSet) override;
};

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string& nameHint = "rdr00800-decrypt");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  // The path with a trailing separator, as the one-shot call takes it.
  std::string WithSeparator() const { return path_.string() + "/"; }

 private:
  std::filesystem::path path_;
};

// Points unixODBC at a private odbcinst.ini naming the SQLite3 and
// "PostgreSQL Unicode" drivers (no trace or communication logs), once per
// process. False when the SQLite3 driver was not found at configure time.
bool UsePrivateOdbcConfiguration();
bool HavePostgresDriver();
// "Driver=SQLite3;Database=<file>" for a database file inside `dir`.
std::string SqliteConnectionString(const TempDir& dir);

// The directory of the running test executable.
std::filesystem::path ExecutableDirectory();
// A fake decryption library as built: normal, null_answer, config_missing,
// entry_missing.
std::filesystem::path FakeLibrary(const std::string& kind);
// The sample library of tools/sample_decrypt; empty when it was not built.
std::filesystem::path SampleLibrary();
// An entry of the sample library, loaded from where it was built and kept
// loaded for the rest of the process; throws when it cannot be found.
using SampleEntry = const char* (*)(const char* directory, const char* code);
SampleEntry SampleLibraryEntry(const char* name);

// True while the library file at `path` is mapped in this process.
bool IsMapped(const std::filesystem::path& path);

// A copy of a library at `target`, removed (and fully unloaded) at the end.
class PlacedLibrary {
 public:
  PlacedLibrary(const std::filesystem::path& source, std::filesystem::path target);
  ~PlacedLibrary();
  PlacedLibrary(const PlacedLibrary&) = delete;
  PlacedLibrary& operator=(const PlacedLibrary&) = delete;
  const std::filesystem::path& Path() const { return target_; }

 private:
  std::filesystem::path target_;
};

}  // namespace rdrtest
