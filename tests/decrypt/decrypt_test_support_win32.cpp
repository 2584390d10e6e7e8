// Windows side of the decryption tests' helpers: LoadLibraryA and friends.
#include <windows.h>

#include "decrypt_test_support.h"

namespace rdrtest {

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
