// An owned kernel handle for the Windows backends (included only by
// *_win32.cpp files): closed once by the destructor, move-only.
#pragma once

#include <windows.h>

#include <utility>

namespace Rdr00800::detail {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  // Takes `handle` as CreateFileA or OpenThread returned it: null and
  // INVALID_HANDLE_VALUE both mean none.
  explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() {
    if (handle_) ::CloseHandle(handle_);
  }

  HANDLE get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != nullptr; }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace Rdr00800::detail
