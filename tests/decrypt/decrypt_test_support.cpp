#include "decrypt_test_support.h"

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
                                  const std::string& logFlag, Rdr00800::TTipoMsg kind, const std::string& helpContext,
                                  const std::string& detail, int32_t buttons, Rdr00800::TClientDataSet* dataSet) {
  messages.push_back({text, caption, confirmFlag, logFlag, kind, helpContext, detail, buttons, dataSet});
  if (throwFromMensagem) throw std::runtime_error("host message service failed");
}

std::filesystem::path FakeLibrary(const std::string& kind) {
  return std::filesystem::path(RDR00800_TEST_FAKES_DIR) / kind / "KQZR32.dll";
}

std::filesystem::path SampleLibrary() { return RDR00800_TEST_SAMPLE_LIBRARY; }

SampleEntry SampleLibraryEntry(const char* name) {
  static void* const library = LoadLibraryForever(SampleLibrary());
  const auto entry = library ? reinterpret_cast<SampleEntry>(FindEntry(library, name)) : nullptr;
  if (!entry) throw std::runtime_error(std::string("sample library entry missing: ") + name);
  return entry;
}

PlacedLibrary::PlacedLibrary(const std::filesystem::path& source, std::filesystem::path target)
    : target_(std::move(target)) {
  std::filesystem::copy_file(source, target_, std::filesystem::copy_options::overwrite_existing);
}

PlacedLibrary::~PlacedLibrary() {
  // The one-shot call leaves its library loaded by design.
  UnloadCompletely(target_);
  std::error_code ignored;
  std::filesystem::remove(target_, ignored);
}

}  // namespace rdrtest
