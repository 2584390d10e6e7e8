// Windows side of the dynamic-library layer: GetShortPathNameA, LoadLibraryA
// and friends.
#include <windows.h>

#include <string>
#include <vector>

#include "runtime/dynamic_library.h"

namespace Rdr00800::detail {
namespace {

bool IsFile(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// "C:\dir" or "\\server\share": a path that does not depend on the working
// directory. "dir", "C:dir" and "\dir" all do.
bool IsAbsolute(const std::string& path) {
  if (path.size() >= 3 && path[1] == ':' && IsSeparator(path[2])) return true;
  return path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

// A directory the system reports through a call that fills a buffer of
// MAX_PATH; the empty text when it fails.
template <class Query>
std::string SystemReportedDirectory(Query query) {
  char buffer[MAX_PATH];
  const UINT length = query(buffer, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::string(buffer, length) : std::string();
}

// The absolute entries of PATH, in order, without surrounding quotes.
std::vector<std::string> AbsolutePathEntries() {
  const DWORD needed = ::GetEnvironmentVariableA("PATH", nullptr, 0);
  if (needed == 0) return {};
  std::string path(needed, '\0');
  const DWORD length = ::GetEnvironmentVariableA("PATH", path.data(), needed);
  path.resize(length < needed ? length : 0);
  std::vector<std::string> entries;
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find(';', start);
    if (end == std::string::npos) end = path.size();
    std::string entry = path.substr(start, end - start);
    if (entry.size() >= 2 && entry.front() == '"' && entry.back() == '"') entry = entry.substr(1, entry.size() - 2);
    if (IsAbsolute(entry)) entries.push_back(std::move(entry));
    start = end + 1;
  }
  return entries;
}

// Where a plain library name is looked for, in order: the first directory
// (the executable's, or the one the host set), the system directory, the Windows directory and each absolute
// PATH entry; never the working directory, from which a planted library would
// be loaded. LOAD_LIBRARY_SEARCH_DEFAULT_DIRS would drop PATH and the Windows
// directory, and fails outright on systems without its update.
std::vector<std::string> SearchDirectories(const std::string& firstDirectory) {
  std::vector<std::string> directories = {
      firstDirectory,
      SystemReportedDirectory([](char* buffer, UINT size) { return ::GetSystemDirectoryA(buffer, size); }),
      SystemReportedDirectory([](char* buffer, UINT size) { return ::GetWindowsDirectoryA(buffer, size); }),
  };
  for (std::string& entry : AbsolutePathEntries()) directories.push_back(std::move(entry));
  return directories;
}

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

LoadedLibrary LoadedLibrary::Open(const std::string& name, const std::string& firstDirectory) {
  bool hasDirectory = false;
  for (const char c : name) hasDirectory = hasDirectory || IsSeparator(c);
  if (hasDirectory) return LoadedLibrary(::LoadLibraryA(name.c_str()));
  for (const std::string& directory : SearchDirectories(firstDirectory)) {
    if (directory.empty()) continue;
    const std::string path = directory + (IsSeparator(directory.back()) ? "" : "\\") + name;
    if (!IsFile(path)) continue;
    // By full path, with the library's own directory first for what it loads
    // in turn. A file that does not load (another architecture) leaves the
    // search to the next directory.
    if (HMODULE library = ::LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {
      return LoadedLibrary(library);
    }
  }
  return LoadedLibrary();
}

std::string LoadedLibrary::Path() const {
  char path[MAX_PATH];
  const DWORD length = handle_ ? ::GetModuleFileNameA(static_cast<HMODULE>(handle_), path, MAX_PATH) : 0;
  return length > 0 && length < MAX_PATH ? std::string(path, length) : std::string();
}

void* LoadedLibrary::Find(const char* entryName) const noexcept {
  return handle_ ? reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), entryName)) : nullptr;
}

void Unload(void* handle) noexcept {
  if (handle) ::FreeLibrary(static_cast<HMODULE>(handle));
}

}  // namespace Rdr00800::detail
