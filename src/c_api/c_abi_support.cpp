#include "c_api/c_abi_support.h"

#include <cstdlib>
#include <cstring>

#include "rdr00800/rdr00800.h"

namespace Rdr00800::detail {

namespace {
thread_local std::string lastError;
}

char* CopyText(const std::string& text) noexcept {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy) {
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
  }
  return copy;
}

void KeepLastError(const std::exception_ptr& error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    try {
      lastError = e.what();
    } catch (...) {
      lastError.clear();
    }
  } catch (...) {
    lastError = "unknown error";
  }
}

void ClearLastError() noexcept { lastError.clear(); }

}  // namespace Rdr00800::detail

extern "C" {

void Rdr00800_FreeText(char* text) { std::free(text); }

char* Rdr00800_LastError(void) { return Rdr00800::detail::CopyText(Rdr00800::detail::lastError); }

}  // extern "C"
