// POSIX side of the decryption tests' helpers: dlopen, sockets.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "decrypt_test_support.h"

namespace rdrtest {

void* LoadLibraryForever(const std::filesystem::path& path) { return ::dlopen(path.c_str(), RTLD_NOW); }

void* FindEntry(void* library, const char* name) { return ::dlsym(library, name); }

bool IsMapped(const std::filesystem::path& path) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle) ::dlclose(handle);
  return handle != nullptr;
}

void UnloadCompletely(const std::filesystem::path& path) {
  // Bounded: a library that cannot be unloaded must not hang the test.
  for (int references = 0; references < 64; ++references) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) break;
    ::dlclose(handle);  // the reference just taken
    ::dlclose(handle);  // one held elsewhere
  }
}

SilentPort::SilentPort(bool listening) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      (listening && ::listen(fd_, 4) != 0) || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("no loopback socket");
  }
  port_ = ntohs(address.sin_port);
}

SilentPort::~SilentPort() { ::close(fd_); }

}  // namespace rdrtest
