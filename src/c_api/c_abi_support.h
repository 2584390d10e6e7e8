// Helpers of the C interface: every extern "C" entry runs its body through
// one of the guards below, so that no C++ exception crosses the boundary.
#pragma once

#include <cstddef>
#include <exception>
#include <string>

namespace Rdr00800::detail {

// A malloc'ed NUL-terminated copy, released by Rdr00800_FreeText; nullptr
// only when memory runs out.
char* CopyText(const std::string& text) noexcept;
// A C argument as a text: NULL is the empty text.
inline std::string TextArg(const char* text) { return text ? std::string(text) : std::string(); }

// Remembers the message of an error caught at the boundary, per thread.
void KeepLastError(const std::exception_ptr& error) noexcept;
// Forgets it: Rdr00800_LastError describes the last call only.
void ClearLastError() noexcept;

// Runs `body`; an exception is kept for Rdr00800_LastError and `fallback`
// is returned instead. A body that returns clears the last error, after any
// entry it called back into has set its own.
template <class Result, class Body>
Result Guarded(Result fallback, Body&& body) noexcept {
  try {
    Result result = body();
    ClearLastError();
    return result;
  } catch (...) {
    KeepLastError(std::current_exception());
    return fallback;
  }
}

// As Guarded, for a body that returns a text: the result is a copy for the
// caller, the empty text on error.
template <class Body>
char* GuardedText(Body&& body) noexcept {
  try {
    char* text = CopyText(body());
    ClearLastError();
    return text;
  } catch (...) {
    KeepLastError(std::current_exception());
    return CopyText(std::string());
  }
}

// As Guarded, for a body with no result.
template <class Body>
void GuardedVoid(Body&& body) noexcept {
  try {
    body();
    ClearLastError();
  } catch (...) {
    KeepLastError(std::current_exception());
  }
}

}  // namespace Rdr00800::detail
