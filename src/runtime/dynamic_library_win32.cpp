// Windows side of the dynamic-library layer: GetModuleFileNameA,
// GetShortPathNameA, LoadLibraryA and friends.
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

std::string ExecutableDirectory() {
  // The path may exceed MAX_PATH with long-path support: grow until it fits.
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  const auto separator = path.find_last_of("\\/");
  if (separator == std::string::npos) return {};
  // A drive's root directory keeps its separator: "C:" alone would name the
  // drive's working directory.
  const bool driveRoot = separator == 2 && path[1] == ':';
  return path.substr(0, driveRoot ? separator + 1 : separator);
}

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
