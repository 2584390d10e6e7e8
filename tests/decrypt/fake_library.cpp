// Stand-ins for the decryption library, one behaviour per build (FAKE_KIND).
#include <cstdio>

#include "rdr00800/Rdr00800.h"  // RDR00800_DECRYPT_CALL, as the vendor's libraries are built

#if defined(_WIN32)
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#if FAKE_KIND == FAKE_NORMAL
// Echoes its arguments so tests see exactly what the gateway passed. A plain
// buffer: a thread_local with a destructor would pin the library in memory.
FAKE_EXPORT const char* RDR00800_DECRYPT_CALL DescriptografaMatricula(const char* directory, const char* code) {
  thread_local char answer[1024];
  std::snprintf(answer, sizeof answer, "dir=%s|code=%s", directory, code);
  return answer;
}
#elif FAKE_KIND == FAKE_NULL_ANSWER
FAKE_EXPORT const char* RDR00800_DECRYPT_CALL DescriptografaMatricula(const char*, const char*) { return nullptr; }
#elif FAKE_KIND == FAKE_CONFIG_MISSING
FAKE_EXPORT const char* RDR00800_DECRYPT_CALL DescriptografaMatricula(const char*, const char*) {
  return "Cliente.Cfg";
}
#elif FAKE_KIND == FAKE_ENTRY_MISSING
FAKE_EXPORT const char* RDR00800_DECRYPT_CALL SomethingElse(const char*, const char*) { return "never"; }
#else
#error "FAKE_KIND names no fake library"
#endif
