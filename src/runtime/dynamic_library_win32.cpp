// Windows side of the dynamic-library layer: GetShortPathNameA, LoadLibraryA
// and friends.
#include <windows.h>

#include "runtime/dynamic_library.h"

namespace Rdr00800::detail {
namespace {

bool IsFile(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::string ShortPathForm(const std::string& path) {
  const DWORD needed = ::GetShortPathNameA(path.c_str(), nullptr, 0);
  if (needed == 0) return {};
  std::string shortPath(needed, '\0');
  const DWORD length = ::GetShortPathNameA(path.c_str(), shortPath.data(), needed);
  if (length == 0 || length >= needed) return {};
  shortPath.resize(length);
  return shortPath;
}

// Windows file names already compare ignoring letter case.
std::optional<std::string> FindFileIgnoringCase(const std::string& path) {
  if (IsFile(path)) return path;
  return std::nullopt;
}

LoadedLibrary LoadedLibrary::Open(const std::string& name) {
  bool hasDirectory = false;
  for (const char c : name) hasDirectory = hasDirectory || IsSeparator(c);
  if (hasDirectory) return LoadedLibrary(::LoadLibraryA(name.c_str()));
  // The default search order ends with the working directory, from which a
  // planted library would be loaded; this one is the executable's directory,
  // then the system's.
  return LoadedLibrary(::LoadLibraryExA(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
}

void* LoadedLibrary::Find(const char* entryName) const noexcept {
  return handle_ ? reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), entryName)) : nullptr;
}

void Unload(void* handle) noexcept {
  if (handle) ::FreeLibrary(static_cast<HMODULE>(handle));
}

}  // namespace Rdr00800::detail
