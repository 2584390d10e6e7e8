// The platform-neutral part of LoadedLibrary: ownership of the handle. The
// loading itself is in dynamic_library_<platform>.cpp.
#include "runtime/dynamic_library.h"

#include <utility>

namespace Rdr00800::detail {

LoadedLibrary::LoadedLibrary(LoadedLibrary&& other) noexcept : handle_(other.Release()) {}

LoadedLibrary& LoadedLibrary::operator=(LoadedLibrary&& other) noexcept {
  if (this != &other) {
    Unload(handle_);
    handle_ = other.Release();
  }
  return *this;
}

LoadedLibrary::~LoadedLibrary() { Unload(handle_); }

void* LoadedLibrary::Release() noexcept { return std::exchange(handle_, nullptr); }

}  // namespace Rdr00800::detail
