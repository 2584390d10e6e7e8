// Shared pieces of the decryption tests: a host framework that records what
// the library hands it and decryption libraries placed beside the test
// executable; the test kit (support/test_kit.h) comes with them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "rdr00800/Rdr00800.h"
#include "support/test_kit.h"

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

// A fake decryption library as built: normal, null_answer, config_missing,
// entry_missing.
std::filesystem::path FakeLibrary(const std::string& kind);
// The sample library of tools/sample_decrypt; empty when it was not built.
std::filesystem::path SampleLibrary();
// An entry of the sample library, loaded from where it was built and kept
// loaded for the rest of the process; throws when it cannot be found.
using SampleEntry = Rdr00800::DescriptografaMatriculaFunc;
SampleEntry SampleLibraryEntry(const char* name);

// Per platform (decrypt_test_support_<platform>.cpp), like IsMapped and
// SilentPort.

// Loads a library by path and keeps it for the rest of the process; nullptr
// when it cannot be loaded.
void* LoadLibraryForever(const std::filesystem::path& path);
void* FindEntry(void* library, const char* name);
// Drops every reference this process holds to the library at `path`, so that
// a later library of the same name loads afresh.
void UnloadCompletely(const std::filesystem::path& path);

// A loopback socket bound to a free port; listening or not, nobody answers.
// POSIX builds only: the database tests that use it need unixODBC.
class SilentPort {
 public:
  explicit SilentPort(bool listening);
  ~SilentPort();
  SilentPort(const SilentPort&) = delete;
  SilentPort& operator=(const SilentPort&) = delete;
  int Port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

// True while the library file at `path` is mapped in this process.
bool IsMapped(const std::filesystem::path& path);

// Runs with the working directory switched, restoring it afterwards.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::filesystem::path& path) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~WorkingDirectory() { std::filesystem::current_path(previous_); }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  std::filesystem::path previous_;
};

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
