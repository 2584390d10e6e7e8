// Windows side of the decryption tests' helpers: GetTempPathA, LoadLibraryA.
#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "decrypt_test_support.h"

namespace rdrtest {

std::filesystem::path MakeTempDirectory(const std::string& nameHint) {
  char base[MAX_PATH + 1];
  const DWORD length = ::GetTempPathA(sizeof base, base);
  if (length == 0 || length > MAX_PATH) throw std::runtime_error("no temporary directory");
  static std::atomic<unsigned> serial{0};
  // Parallel test programs share the temporary directory: retry on a name taken.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string path = std::string(base, length) + nameHint + "-" + std::to_string(::GetCurrentProcessId()) +
                             "-" + std::to_string(serial++);
    if (::CreateDirectoryA(path.c_str(), nullptr)) return path;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw std::runtime_error("cannot create a temporary directory for " + nameHint);
}

void SetEnvironment(const char* name, const std::string& value) { ::SetEnvironmentVariableA(name, value.c_str()); }

std::filesystem::path ExecutableDirectory() {
  char path[MAX_PATH + 1];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length > MAX_PATH) throw std::runtime_error("executable path unknown");
  return std::filesystem::path(std::string(path, length)).parent_path();
}

void* LoadLibraryForever(const std::filesystem::path& path) { return ::LoadLibraryA(path.string().c_str()); }

void* FindEntry(void* library, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

// GetModuleHandleA takes no reference of its own.
bool IsMapped(const std::filesystem::path& path) { return ::GetModuleHandleA(path.string().c_str()) != nullptr; }

void UnloadCompletely(const std::filesystem::path& path) {
  // Bounded: a library that cannot be unloaded must not hang the test.
  for (int references = 0; references < 64; ++references) {
    const HMODULE module = ::GetModuleHandleA(path.string().c_str());
    if (!module || !::FreeLibrary(module)) break;
  }
}

}  // namespace rdrtest
