// Loading the decryption library and finding files the way the gateway needs.
// One implementation per platform (dynamic_library_linux.cpp, dynamic_library_win32.cpp).
//
// Every function here is called by the decryption gateway on the host's main
// thread. They block only on the file system and the platform loader (which
// runs the library's initializers); none throws except on memory exhaustion.
#pragma once

#include <optional>
#include <string>

namespace Rdr00800::detail {

// The platform's short form of `path`; the empty text when there is none.
// POSIX paths have no short form, so this is the path itself.
std::string ShortPathForm(const std::string& path);

// `path` when a file of that name exists, else the directory entry of the
// same directory whose name matches the last component ignoring ASCII letter
// case (an exact match wins). nullopt when there is none or the directory
// cannot be read. A path with no directory part is looked up in the working
// directory, as a plain file-existence check would.
std::optional<std::string> FindFileIgnoringCase(const std::string& path);

// A loaded library, unloaded by the destructor unless released. Move-only.
class LoadedLibrary {
 public:
  LoadedLibrary() = default;
  // A plain name (no "/") is looked for first in `firstDirectory` (the
  // gateway passes the executable's directory or the one the host set),
  // ignoring letter case, then along the platform's search order, which never
  // includes the working directory (on Windows: the system directory, the
  // Windows directory and each absolute PATH entry, each by full path). An
  // empty `firstDirectory` is skipped. A name with "/" is loaded as given.
  // All symbols are bound at once and kept private to the library. A failed
  // load gives an empty object.
  static LoadedLibrary Open(const std::string& name, const std::string& firstDirectory);

  LoadedLibrary(LoadedLibrary&& other) noexcept;
  LoadedLibrary& operator=(LoadedLibrary&& other) noexcept;
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  ~LoadedLibrary();

  explicit operator bool() const noexcept { return handle_ != nullptr; }
  void* Get() const noexcept { return handle_; }
  // The file the loader mapped, by the path it was found under; the empty
  // text when empty or when the platform cannot tell.
  std::string Path() const;
  // The address of an exported entry; nullptr when the library has none.
  void* Find(const char* entryName) const noexcept;
  // Gives the handle up: the library stays loaded until Unload(handle).
  void* Release() noexcept;

 private:
  explicit LoadedLibrary(void* handle) noexcept : handle_(handle) {}
  void* handle_ = nullptr;
};

// Unloads a handle given up by LoadedLibrary::Release. nullptr is fine.
void Unload(void* handle) noexcept;

}  // namespace Rdr00800::detail
