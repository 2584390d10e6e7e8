// Linux side of the dynamic-library layer: readdir, dlopen.
#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <memory>
#include <utility>

#include "decode/ascii_case.h"
#include "runtime/dynamic_library.h"

namespace Rdr00800::detail {
namespace {

bool IsFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

struct DirCloser {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

}  // namespace

std::string ShortPathForm(const std::string& path) { return path; }

std::optional<std::string> FindFileIgnoringCase(const std::string& path) {
  if (IsFile(path)) return path;
  const auto slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string wanted = slash == std::string::npos ? path : path.substr(slash + 1);
  if (wanted.empty()) return std::nullopt;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(directory.empty() ? "." : directory.c_str()));
  if (!dir) return std::nullopt;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (!EqualsIgnoringAsciiCase(entry->d_name, wanted)) continue;
    std::string candidate = directory + entry->d_name;
    if (IsFile(candidate)) return candidate;
  }
  return std::nullopt;
}

LoadedLibrary LoadedLibrary::Open(const std::string& name, const std::string& firstDirectory) {
  constexpr int kMode = RTLD_NOW | RTLD_LOCAL;
  if (name.find('/') != std::string::npos) return LoadedLibrary(::dlopen(name.c_str(), kMode));
  // dlopen alone would miss the first directory; it never searches the
  // working directory, and an empty first directory must not turn into it.
  if (!firstDirectory.empty()) {
    const std::string separator = firstDirectory.back() == '/' ? "" : "/";
    if (const auto found = FindFileIgnoringCase(firstDirectory + separator + name)) {
      return LoadedLibrary(::dlopen(found->c_str(), kMode));
    }
  }
  return LoadedLibrary(::dlopen(name.c_str(), kMode));
}

std::string LoadedLibrary::Path() const {
  const link_map* map = nullptr;
  if (!handle_ || ::dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) return {};
  return map->l_name;
}

void* LoadedLibrary::Find(const char* entryName) const noexcept {
  return handle_ ? ::dlsym(handle_, entryName) : nullptr;
}

void Unload(void* handle) noexcept {
  if (handle) ::dlclose(handle);
}

}  // namespace Rdr00800::detail
