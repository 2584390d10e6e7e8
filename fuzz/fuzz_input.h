// Helpers the fuzz targets share: the input as text, split in two, and a
// check that aborts so libFuzzer keeps the input that broke it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

namespace rdrfuzz {

inline std::string_view AsText(const uint8_t* data, size_t size) { return {reinterpret_cast<const char*>(data), size}; }

// Two texts from one input: before and after the first 0x01 byte, a
// separator no seed needs otherwise; the whole input and "" without one.
inline std::pair<std::string, std::string> SplitInTwo(std::string_view text) {
  const size_t at = text.find('\x01');
  if (at == std::string_view::npos) return {std::string(text), std::string()};
  return {std::string(text.substr(0, at)), std::string(text.substr(at + 1))};
}

inline void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "broken property: %s\n", what);
  std::abort();
}

inline bool AllOf(std::string_view text, std::string_view allowed) {
  return text.find_first_not_of(allowed) == std::string_view::npos;
}

}  // namespace rdrfuzz
