#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "device/device_diagnosis.h"

namespace Rdr00800::detail {

namespace {

// The process that holds a flock on the file `node` names, from /proc/locks:
// "1: FLOCK  ADVISORY  WRITE 4242 00:05:123 0 EOF", the device of the file
// system in hexadecimal and the inode in decimal.
std::optional<pid_t> FlockHolder(const struct stat& node) {
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string id, kind, mode, access, where;
    long pid = 0;
    if (!(fields >> id >> kind >> mode >> access >> pid >> where) || kind != "FLOCK" || pid <= 0) continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (makedev(major, minor) == node.st_dev && inode == node.st_ino) return static_cast<pid_t>(pid);
  }
  return std::nullopt;
}

// Another process with the device open, from /proc/*/fd: a holder that uses
// TIOCEXCL alone leaves no lock. Only the processes this one may inspect;
// `allInspected` says whether that was every one.
std::optional<pid_t> OpenedBy(const struct stat& node, bool& allInspected) {
  allInspected = false;
  DIR* processes = ::opendir("/proc");
  if (!processes) return std::nullopt;
  allInspected = true;
  std::optional<pid_t> holder;
  const pid_t self = ::getpid();
  while (!holder) {
    const dirent* process = ::readdir(processes);
    if (!process) break;
    char* end = nullptr;
    const long pid = std::strtol(process->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == self) continue;
    const std::string fdDirectory = std::string("/proc/") + process->d_name + "/fd";
    DIR* descriptors = ::opendir(fdDirectory.c_str());
    if (!descriptors) {
      // A process that ended meanwhile holds nothing; one we may not look into might.
      if (errno != ENOENT) allInspected = false;
      continue;
    }
    while (const dirent* descriptor = ::readdir(descriptors)) {
      struct stat target {};
      if (descriptor->d_name[0] == '.' || ::stat((fdDirectory + "/" + descriptor->d_name).c_str(), &target) != 0) {
        continue;
      }
      if (target.st_dev == node.st_dev && target.st_ino == node.st_ino) {
        holder = static_cast<pid_t>(pid);
        break;
      }
    }
    ::closedir(descriptors);
  }
  ::closedir(processes);
  return holder;
}

std::string ProcessName(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

}  // namespace

std::string SystemErrorText(int error) {
  char buffer[256];
  // The GNU strerror_r returns its text, which may not be in `buffer`.
  return ::strerror_r(error, buffer, sizeof buffer);
}

std::string NoDeviceHint() { return "map it with SetPortDevice or use a /dev path"; }

std::string PermissionHint(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || (status.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP) ||
      status.st_gid == 0) {
    return {};
  }
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (::getgrgid_r(status.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return {};
  return std::string("; the device belongs to group ") + found->gr_name + ": add the user to it";
}

std::string BusyReason(const std::string& path) {
  struct stat node {};
  if (::stat(path.c_str(), &node) != 0) return "held by another program";
  bool allInspected = false;
  std::optional<pid_t> holder = FlockHolder(node);
  if (!holder) holder = OpenedBy(node, allInspected);
  if (holder) {
    const std::string name = ProcessName(*holder);
    return "held by process " + std::to_string(*holder) + (name.empty() ? "" : " (" + name + ")");
  }
  // A terminal's exclusive flag (TIOCEXCL) can outlive the program that set
  // it; only a privileged open, or a new device, gets past it.
  const std::string clears = "opening and closing the device as root, or replugging the reader, clears it";
  if (allInspected) return "held by no program: the exclusive flag was left set by a program that ended; " + clears;
  return "held by another program, or by none: no lock and no process this user may inspect has it open; an "
         "exclusive flag left set by a program that ended refuses the open too, and " +
         clears;
}

}  // namespace Rdr00800::detail
