// Window messages on Windows: a procedure registered under the handle (for
// hosts with no window of their own to offer) is called directly; any other
// handle is the host's real window and gets the system's SendMessageA.
#include <windows.h>

#include "runtime/window_registry.h"

namespace Rdr00800 {

intptr_t SendMessageA(uint32_t handle, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  if (const auto proc = detail::RegisteredWindowProc(handle)) return (*proc)(msg, wParam, lParam);
  // Window handles keep 32 significant bits on 64-bit Windows too; a handle
  // naming no window makes the call return 0.
  const HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(handle));
  return static_cast<intptr_t>(::SendMessageA(window, msg, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)));
}

}  // namespace Rdr00800
