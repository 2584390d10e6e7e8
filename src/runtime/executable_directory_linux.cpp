// Linux: the executable is what /proc/self/exe links to.
#include <limits.h>
#include <unistd.h>

#include "runtime/executable_directory.h"

namespace Rdr00800::detail {

std::string ExecutableDirectory() {
  std::string path(PATH_MAX, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<size_t>(length) >= path.size()) return {};
  path.resize(static_cast<size_t>(length));
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  // The root directory keeps its only separator.
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace Rdr00800::detail
