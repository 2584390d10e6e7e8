// What the process holds now, for soak tests that prove it stays flat.
#pragma once

#include <fstream>
#include <string>

namespace rdrtest {

// A field of /proc/self/status ("VmRSS", "Threads"), as its leading number;
// -1 when it is missing.
inline long ProcessStatusField(const std::string& name) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, name.size() + 1, name + ":") == 0) return std::stol(line.substr(name.size() + 1));
  }
  return -1;
}

// ASan keeps freed memory in quarantine, so resident memory grows under it
// whatever the code does; its leak checker covers that build instead.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kResidentMemoryIsMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kResidentMemoryIsMeaningful = false;
#else
inline constexpr bool kResidentMemoryIsMeaningful = true;
#endif
#else
inline constexpr bool kResidentMemoryIsMeaningful = true;
#endif

}  // namespace rdrtest
