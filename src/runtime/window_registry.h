// Message procedures registered with RegisterWindow, shared by the window
// backends (window_posix.cpp, window_win32.cpp): SendMessageA asks here first.
#pragma once

#include <cstdint>
#include <memory>

#include "rdr00800/Rdr00800.h"

namespace Rdr00800::detail {

// The procedure registered under `handle`, or null. Any thread; blocks only
// on the registry's lock. The caller calls it unlocked: holding the pointer
// keeps the procedure alive while it runs, even if it is replaced or
// unregistered meanwhile.
std::shared_ptr<const WindowProc> RegisteredWindowProc(uint32_t handle);

}  // namespace Rdr00800::detail
