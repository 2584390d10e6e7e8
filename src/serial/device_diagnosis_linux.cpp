#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "serial/device_diagnosis.h"

namespace Rdr00800::detail {

std::string SystemErrorText(int error) {
  char buffer[256];
  // The GNU strerror_r returns its text, which may not be in `buffer`.
  return ::strerror_r(error, buffer, sizeof buffer);
}

std::string NoDeviceHint() { return "map it with SetPortDevice or use a /dev path"; }

std::string PermissionHint(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || (status.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP) ||
      status.st_gid == 0)
    return {};
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (::getgrgid_r(status.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return {};
  return std::string("; the device belongs to group ") + found->gr_name + ": add the user to it";
}

std::string HolderOf(const std::string&) { return "another program"; }

}  // namespace Rdr00800::detail
