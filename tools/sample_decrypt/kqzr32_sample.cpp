// SAMPLE decryption library: a toy stand-in for the vendor's library, so the
// gateway can be demonstrated and tested. Not a cipher worth the name.
#include "kqzr32_sample.h"

#include <dirent.h>
#include <strings.h>

#include <fstream>
#include <optional>
#include <string>

#if defined(_WIN32)
#define KQZR32_EXPORT extern "C" __declspec(dllexport)
#else
#define KQZR32_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

constexpr const char* kConfigName = "Cliente.Cfg";
constexpr const char* kMissingConfigAnswer = "CLIENTE.CFG";

// A plain array: a thread_local with a destructor would keep the library
// mapped after the host unloads it.
constexpr size_t kAnswerCapacity = 1024;
thread_local char answer[kAnswerCapacity];

const char* Answer(const std::string& text) {
  if (text.size() >= kAnswerCapacity) return "";
  text.copy(answer, text.size());
  answer[text.size()] = '\0';
  return answer;
}

// The directory's entry named Cliente.Cfg in any letter case.
std::optional<std::string> ConfigPath(std::string directory) {
  if (directory.empty()) directory.push_back('.');
  if (directory.back() != '/' && directory.back() != '\\') directory += '/';
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return std::nullopt;
  std::optional<std::string> found;
  while (const dirent* entry = ::readdir(dir)) {
    if (::strcasecmp(entry->d_name, kConfigName) == 0) {
      found = directory + entry->d_name;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

// The digits of the first "Chave=" line; empty when there is none.
std::string ReadKey(const std::string& directory) {
  const auto path = ConfigPath(directory);
  if (!path) return {};
  std::ifstream file(*path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("Chave=", 0) != 0) continue;
    std::string key;
    for (const char c : line.substr(6)) {
      if (c >= '0' && c <= '9') key += c;
    }
    return key;
  }
  return {};
}

// Shifts each decimal digit of `code` by the key digit at its position
// (cycling through the key), down to decrypt and up to encrypt; other
// characters pass unchanged.
const char* Shift(const char* directory, const char* code, int direction) {
  const std::string key = ReadKey(directory ? directory : "");
  if (key.empty()) return Answer(kMissingConfigAnswer);
  std::string shifted = code ? code : "";
  for (size_t i = 0; i < shifted.size(); ++i) {
    char& c = shifted[i];
    if (c < '0' || c > '9') continue;
    const int shift = direction * (key[i % key.size()] - '0');
    c = static_cast<char>('0' + ((c - '0' + shift) % 10 + 10) % 10);
  }
  return Answer(shifted);
}

}  // namespace

KQZR32_EXPORT const char* KQZR32_CALL DescriptografaMatricula(const char* directory, const char* code) {
  return Shift(directory, code, -1);
}

KQZR32_EXPORT const char* KQZR32_CALL CriptografaMatricula(const char* directory, const char* code) {
  return Shift(directory, code, +1);
}
