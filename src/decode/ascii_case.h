// ASCII letter case, the only case the library folds: port names, connection
// string keys, file names and library answers compare this way whatever the
// locale. Pure, any thread, never throw.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace Rdr00800::detail {

template <class Char>
constexpr Char AsciiUpperChar(Char c) noexcept {
  return c >= Char('a') && c <= Char('z') ? static_cast<Char>(c - Char('a') + Char('A')) : c;
}

template <class Char>
constexpr Char AsciiLowerChar(Char c) noexcept {
  return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

inline std::wstring AsciiUpper(std::wstring_view text) {
  std::wstring upper(text);
  for (wchar_t& c : upper) c = AsciiUpperChar(c);
  return upper;
}

inline std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = AsciiLowerChar(c);
  return lower;
}

inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) noexcept {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return AsciiLowerChar(x) == AsciiLowerChar(y); });
}

inline bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) noexcept {
  return text.size() >= prefix.size() && EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace Rdr00800::detail
