#include "decrypt_test_support.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <fstream>
#include <stdexcept>
#include <system_error>

namespace rdrtest {

std::string RecordingFramework::GetStringConexLum(const std::string& text) {
  connectionStringQueries.push_back(text);
  return connectionString;
}

void RecordingFramework::SetADODBSession(Rdr00800::TADOConnection* connection) {
  sessions.push_back(connection);
  sessionHandles.push_back(connection->Handle());
}

void RecordingFramework::Trad(Rdr00800::TDataModule* form) { translated.push_back(form); }

void RecordingFramework::Mensagem(const std::string& text, const std::string& caption, const std::string& confirmFlag,
                                  const std::string& logFlag, Rdr00800::TTipoMsg kind,
                                  const std::string& helpContext, const std::string& detail, int32_t buttons,
                                  Rdr00800::TClientDataSet* dataSet) {
  messages.push_back({text, caption, confirmFlag, logFlag, kind, helpContext, detail, buttons, dataSet});
  if (throwFromMensagem) throw std::runtime_error("host message service failed");
}

TempDir::TempDir(const std::string& nameHint) {
  std::string pattern = "/tmp/" + nameHint + "-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool UsePrivateOdbcConfiguration() {
  static const bool ready = [] {
    const std::string sqlite = RDR00800_TEST_SQLITE3_DRIVER;
    if (sqlite.empty()) return false;
    // Lives until the process ends, like the driver manager's use of it.
    static TempDir odbcDir("rdr00800-odbc");
    std::ofstream ini(odbcDir.Path() / "odbcinst.ini");
    ini << "[SQLite3]\nDriver=" << sqlite << "\n\n";
    const std::string postgres = RDR00800_TEST_PSQL_DRIVER;
    if (!postgres.empty()) ini << "[PostgreSQL Unicode]\nDriver=" << postgres << "\nDebug=0\nCommLog=0\n\n";
    ini.close();
    std::ofstream(odbcDir.Path() / "odbc.ini").close();
    ::setenv("ODBCSYSINI", odbcDir.Path().c_str(), 1);
    ::setenv("ODBCINI", (odbcDir.Path() / "odbc.ini").c_str(), 1);
    return true;
  }();
  return ready;
}

bool HavePostgresDriver() { return UsePrivateOdbcConfiguration() && !std::string(RDR00800_TEST_PSQL_DRIVER).empty(); }

std::string SqliteConnectionString(const TempDir& dir) {
  return "Driver=SQLite3;Database=" + (dir.Path() / "host.db").string();
}

std::filesystem::path ExecutableDirectory() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

std::filesystem::path FakeLibrary(const std::string& kind) {
  return std::filesystem::path(RDR00800_TEST_FAKES_DIR) / kind / "KQZR32.dll";
}

std::filesystem::path SampleLibrary() { return RDR00800_TEST_SAMPLE_LIBRARY; }

SampleEntry SampleLibraryEntry(const char* name) {
  static void* const library = ::dlopen(SampleLibrary().c_str(), RTLD_NOW);
  const auto entry = library ? reinterpret_cast<SampleEntry>(::dlsym(library, name)) : nullptr;
  if (!entry) throw std::runtime_error(std::string("sample library entry missing: ") + name);
  return entry;
}

bool IsMapped(const std::filesystem::path& path) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle) ::dlclose(handle);
  return handle != nullptr;
}

PlacedLibrary::PlacedLibrary(const std::filesystem::path& source, std::filesystem::path target)
    : target_(std::move(target)) {
  std::filesystem::copy_file(source, target_, std::filesystem::copy_options::overwrite_existing);
}

PlacedLibrary::~PlacedLibrary() {
  // The one-shot call leaves its library loaded by design; drop every
  // reference so the next test's library under the same name loads afresh.
  // Bounded: a library that cannot be unloaded must not hang the test.
  for (int references = 0; references < 64; ++references) {
    void* handle = ::dlopen(target_.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) break;
    ::dlclose(handle);
    ::dlclose(handle);
  }
  std::error_code ignored;
  std::filesystem::remove(target_, ignored);
}

}  // namespace rdrtest
