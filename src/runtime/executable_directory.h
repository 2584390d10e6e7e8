// Where the running executable lies. One implementation per platform
// (executable_directory_linux.cpp, executable_directory_win32.cpp), with no
// other dependency, so the rdr tool compiles the same file for itself.
#pragma once

#include <string>

namespace Rdr00800::detail {

// The executable's directory without a trailing separator (a root directory
// keeps its only one); the empty text when it cannot be found. Any thread;
// blocks only on the file system; never throws except std::bad_alloc.
std::string ExecutableDirectory();

}  // namespace Rdr00800::detail
