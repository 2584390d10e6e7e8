// The decryption gateway: a resident library kept between StartDigVerif and
// StopDigVerif, and a one-shot call that tells the user why it failed.
#include "decrypt/gateway.h"

#include "rdr00800/Rdr00800.h"
#include "runtime/dynamic_library.h"
#include "runtime/executable_directory.h"
#include "runtime/trace.h"

namespace Rdr00800 {

bool DigVerifOK = false;
ModuleHandle DigVerifDLLHandle = nullptr;
DescriptografaMatriculaFunc DVDescriptografaMatricula = nullptr;
ModuleHandle ImpDescriptoDLLHandle = nullptr;
DescriptografaMatriculaFunc DescriptografaMatricula = nullptr;

namespace {

constexpr const char* kLibraryName = "KQZR32.dll";
constexpr const char* kCheckedFileName = "KQZR32.DLL";
constexpr const char* kEntryName = "DescriptografaMatricula";

// Set by the host; empty for the executable's directory. Main thread.
std::string libraryDirectory;

// Where the library is looked for first, and what the resident style passes
// to it: an interpreter's executable directory holds no library of the host's.
std::string FirstDirectory() { return libraryDirectory.empty() ? detail::ExecutableDirectory() : libraryDirectory; }

void TraceGateway(const std::string& line) {
  if (detail::Tracing()) detail::Trace("gateway: " + line);
}

detail::LoadedLibrary LoadDecryptionLibrary() {
  const std::string first = FirstDirectory();
  detail::LoadedLibrary library = detail::LoadedLibrary::Open(kLibraryName, first);
  if (detail::Tracing()) {
    TraceGateway(std::string("load ") + kLibraryName + ": " +
                 (library ? library.Path() : "not loaded (looked first in " + first + ")"));
  }
  return library;
}

DescriptografaMatriculaFunc FindEntry(const detail::LoadedLibrary& library) {
  auto entry = reinterpret_cast<DescriptografaMatriculaFunc>(library.Find(kEntryName));
  if (detail::Tracing()) TraceGateway(std::string("entry ") + kEntryName + (entry ? ": found" : ": missing"));
  return entry;
}

// The library's answer is copied at once; it owns the pointer.
std::string CallEntry(DescriptografaMatriculaFunc entry, const std::string& directory, const std::string& code) {
  const auto start = detail::TraceClock();
  const char* answer = entry(directory.c_str(), code.c_str());
  std::string text = answer ? std::string(answer) : std::string();
  if (detail::Tracing())
    TraceGateway("call: " + std::to_string(text.size()) + " bytes in " + detail::MillisecondsSince(start));
  return text;
}

// Shows the message and returns false, the one-shot call's answer.
bool Fail(detail::DecryptOutcome& outcome, detail::DecryptFailure failure, const char* key,
          const std::string& directory) {
  outcome.failure = failure;
  if (key) {
    outcome.message = detail::FormatWithDirectory(dtmLeitor->msgPadrao.Msg(key), directory);
    CurrentHostFramework().Mensagem(outcome.message, "", "N", "N", TTipoMsg::Aviso, "", "", 0, nullptr);
  }
  return false;
}

// Frees the data module on every way out of the one-shot call, the host's own
// instance included.
struct DataModuleRelease {
  DataModuleRelease() = default;
  DataModuleRelease(const DataModuleRelease&) = delete;
  DataModuleRelease& operator=(const DataModuleRelease&) = delete;
  ~DataModuleRelease() {
    delete dtmLeitor;
    dtmLeitor = nullptr;
  }
};

}  // namespace

namespace detail {

std::string FormatWithDirectory(const std::string& text, const std::string& directory) {
  const auto at = text.find("%s");
  if (at == std::string::npos) return text;
  return text.substr(0, at) + directory + text.substr(at + 2);
}

const char* DecryptFailureInEnglish(DecryptFailure failure) noexcept {
  switch (failure) {
    case DecryptFailure::None:
      return "";
    case DecryptFailure::LibraryFileMissing:
      return "KQZR32.dll is not in the directory given";
    case DecryptFailure::LibraryNotLoaded:
      return "KQZR32.dll could not be loaded from the decryption library directory (the executable's unless one "
             "was set) nor from the loader's search path";
    case DecryptFailure::EntryMissing:
      return "KQZR32.dll has no DescriptografaMatricula entry";
    case DecryptFailure::ConfigurationMissing:
      return "the decryption library found no usable Cliente.Cfg in the directory given";
  }
  return "";
}

bool DecryptOnce(std::string& result, DecryptOutcome& outcome, const std::string& directory, const std::string& code) {
  outcome = {};
  DataModuleRelease release;
  if (!dtmLeitor) dtmLeitor = new TdtmLeitor();
  dtmLeitor->adcLeitor.SetConnected(true);

  if (!FindFileIgnoringCase(directory + kCheckedFileName)) {
    return Fail(outcome, DecryptFailure::LibraryFileMissing, "KQZR32_N_ENC", directory);
  }
  LoadedLibrary library = LoadDecryptionLibrary();
  ImpDescriptoDLLHandle = library.Get();
  if (!library) return Fail(outcome, DecryptFailure::LibraryNotLoaded, "N_POS_KQZR32", directory);
  DescriptografaMatricula = FindEntry(library);
  if (!DescriptografaMatricula) return Fail(outcome, DecryptFailure::EntryMissing, nullptr, directory);
  // Once its entry is found the library stays loaded for good.
  library.Release();
  result = CallEntry(DescriptografaMatricula, directory, code);
  outcome.resultWritten = true;
  DescriptografaMatricula = nullptr;
  if (IsMissingConfigurationAnswer(result)) {
    return Fail(outcome, DecryptFailure::ConfigurationMissing, "N_ENC_CLIENTE.CFG", directory);
  }
  return true;
}

}  // namespace detail

void SetDecryptionLibraryDirectory(const std::string& directory) { libraryDirectory = directory; }

void StopDigVerif() {
  if (DigVerifOK) detail::Unload(DigVerifDLLHandle);
  DigVerifOK = false;
}

void StartDigVerif() {
  // A start over a loaded library would otherwise leave that load mapped for
  // good, out of StopDigVerif's reach.
  StopDigVerif();
  detail::LoadedLibrary library = LoadDecryptionLibrary();
  DigVerifDLLHandle = library.Get();
  if (!library) return;
  DVDescriptografaMatricula = FindEntry(library);
  if (!DVDescriptografaMatricula) return;
  library.Release();
  DigVerifOK = true;
}

std::string GetMatriculaDV(const std::string& code) {
  if (!DigVerifOK) return {};
  return CallEntry(DVDescriptografaMatricula, detail::ShortPathForm(FirstDirectory()), code);
}

bool LeitorDescriptoDll(std::string& result, const std::string& directory, const std::string& code) {
  detail::DecryptOutcome outcome;
  return detail::DecryptOnce(result, outcome, directory, code);
}

}  // namespace Rdr00800
