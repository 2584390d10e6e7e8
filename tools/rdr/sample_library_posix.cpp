#include <dlfcn.h>

#include <stdexcept>

#include "runtime/executable_directory.h"
#include "sample_library.h"

namespace rdr {

std::string ExecutableDirectory() {
  std::string directory = Rdr00800::detail::ExecutableDirectory();
  if (directory.empty()) throw std::runtime_error("cannot find rdr's own path");
  return directory;
}

std::string EncryptWithSampleLibrary(const std::string& libraryPath, const std::string& directory,
                                     const std::string& code) {
  void* library = ::dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) throw std::runtime_error(std::string("cannot load ") + ::dlerror());
  using Encrypt = const char* (*)(const char*, const char*);
  const auto encrypt = reinterpret_cast<Encrypt>(::dlsym(library, "CriptografaMatricula"));
  if (!encrypt) throw std::runtime_error(libraryPath + " has no CriptografaMatricula entry");
  const char* answer = encrypt(directory.c_str(), code.c_str());
  return answer ? answer : "";
}

}  // namespace rdr
