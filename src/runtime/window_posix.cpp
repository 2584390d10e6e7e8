// Window messages without a window system: SendMessageA calls the procedure
// registered under the handle directly, on the sending thread.
#include "runtime/window_registry.h"

namespace Rdr00800 {

intptr_t SendMessageA(uint32_t handle, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  const auto proc = detail::RegisteredWindowProc(handle);
  // Called unlocked: the procedure may register, unregister or send itself.
  return proc ? (*proc)(msg, wParam, lParam) : 0;
}

}  // namespace Rdr00800
