#include "support/pty_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace rdrtest {

PtyReader::PtyReader(std::string linkPath) : linkPath_(std::move(linkPath)) {
  char name[256] = {};
  termios raw{};
  cfmakeraw(&raw);
  if (openpty(&controlling_, &subordinate_, name, &raw, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "openpty");
  }
  devicePath_ = name;
  // The test keeps the subordinate side open so the pty never hangs up
  // between the library's polls, and its raw settings persist. Non-blocking,
  // so that DropUnread ends where the queue does.
  ::fcntl(controlling_, F_SETFD, FD_CLOEXEC);
  ::fcntl(subordinate_, F_SETFD, FD_CLOEXEC);
  ::fcntl(subordinate_, F_SETFL, ::fcntl(subordinate_, F_GETFL) | O_NONBLOCK);
  if (!linkPath_.empty()) {
    ::unlink(linkPath_.c_str());
    if (::symlink(devicePath_.c_str(), linkPath_.c_str()) != 0) {
      throw std::system_error(errno, std::generic_category(), "symlink");
    }
  }
}

PtyReader::~PtyReader() {
  JoinSender();
  if (!linkPath_.empty()) ::unlink(linkPath_.c_str());
  if (subordinate_ >= 0) ::close(subordinate_);
  if (controlling_ >= 0) ::close(controlling_);
}

void PtyReader::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(controlling_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "write to pty");
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void PtyReader::HangUp() {
  JoinSender();
  if (controlling_ >= 0) ::close(controlling_);
  controlling_ = -1;
}

size_t PtyReader::DropUnread() {
  // A read that finds the queue empty first moves in what the kernel still
  // has in flight, so reading until nothing comes misses none of it.
  size_t dropped = 0;
  char buffer[512];
  for (;;) {
    const ssize_t got = ::read(subordinate_, buffer, sizeof buffer);
    if (got > 0) {
      dropped += static_cast<size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      return dropped;
    }
  }
}

int OpenDescriptorCount() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    --count;  // the directory stream's own descriptor
  }
  return count;
}

std::unique_ptr<SimulatedReader> NewSimulatedReader() { return std::make_unique<PtyReader>(); }

int OpenHandleCount() { return OpenDescriptorCount(); }

bool PortsAreExclusive() { return true; }

int HangUpError() { return EIO; }

}  // namespace rdrtest
