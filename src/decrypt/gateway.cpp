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

void TraceGateway(const std::string& line) {
  if (detail::Tracing()) detail::Trace("gateway: " + line);
}

detail::LoadedLibrary LoadDecryptionLibrary() {
  detail::LoadedLibrary library = detail::LoadedLibrary::Open(kLibraryName);
  if (detail::Tracing()) TraceGateway(std::string("load ") + kLibraryName + (library ? ": ok" : ": not found"));
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

void ShowMessage(const std::string& key, const std::string& directory) {
  const std::string text = detail::FormatWithDirectory(dtmLeitor->msgPadrao.Msg(key), directory);
  CurrentHostFramework().Mensagem(text, "", "N", "N", TTipoMsg::Aviso, "", "", 0, nullptr);
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

bool DecryptOnce(std::string& result, bool& resultWritten, const std::string& directory, const std::string& code) {
  resultWritten = false;
  DataModuleRelease release;
  if (!dtmLeitor) dtmLeitor = new TdtmLeitor();
  dtmLeitor->adcLeitor.SetConnected(true);

  if (!FindFileIgnoringCase(directory + kCheckedFileName)) {
    ShowMessage("KQZR32_N_ENC", directory);
    return false;
  }
  LoadedLibrary library = LoadDecryptionLibrary();
  ImpDescriptoDLLHandle = library.Get();
  if (!library) {
    ShowMessage("N_POS_KQZR32", directory);
    return false;
  }
  DescriptografaMatricula = FindEntry(library);
  if (!DescriptografaMatricula) return false;
  // Once its entry is found the library stays loaded for good.
  library.Release();
  result = CallEntry(DescriptografaMatricula, directory, code);
  resultWritten = true;
  DescriptografaMatricula = nullptr;
  if (IsMissingConfigurationAnswer(result)) {
    ShowMessage("N_ENC_CLIENTE.CFG", directory);
    return false;
  }
  return true;
}

}  // namespace detail

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
  return CallEntry(DVDescriptografaMatricula, detail::ShortPathForm(detail::ExecutableDirectory()), code);
}

bool LeitorDescriptoDll(std::string& result, const std::string& directory, const std::string& code) {
  bool resultWritten = false;
  return detail::DecryptOnce(result, resultWritten, directory, code);
}

}  // namespace Rdr00800
