// Window messages without a window system: a registry of message procedures
// that SendMessageA calls directly on the sending thread.
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "rdr00800/Rdr00800.h"

namespace Rdr00800 {
namespace {

struct WindowRegistry {
  std::mutex mutex;
  // Shared so that a send in progress keeps its procedure alive when the
  // window is replaced or unregistered meanwhile.
  std::unordered_map<uint32_t, std::shared_ptr<const WindowProc>> windows;
};

WindowRegistry& Registry() {
  static WindowRegistry registry;
  return registry;
}

}  // namespace

void RegisterWindow(uint32_t handle, WindowProc proc) {
  if (!proc) {
    UnregisterWindow(handle);
    return;
  }
  auto shared = std::make_shared<const WindowProc>(std::move(proc));
  std::shared_ptr<const WindowProc> replaced;  // destroyed after the lock is released
  WindowRegistry& registry = Registry();
  std::lock_guard lock(registry.mutex);
  replaced = std::exchange(registry.windows[handle], std::move(shared));
}

void UnregisterWindow(uint32_t handle) {
  std::shared_ptr<const WindowProc> removed;  // destroyed after the lock is released
  WindowRegistry& registry = Registry();
  std::lock_guard lock(registry.mutex);
  if (auto it = registry.windows.find(handle); it != registry.windows.end()) {
    removed = std::move(it->second);
    registry.windows.erase(it);
  }
}

intptr_t SendMessageA(uint32_t handle, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  std::shared_ptr<const WindowProc> proc;
  {
    WindowRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    if (auto it = registry.windows.find(handle); it != registry.windows.end()) proc = it->second;
  }
  // Called unlocked: the procedure may register, unregister or send itself.
  return proc ? (*proc)(msg, wParam, lParam) : 0;
}

}  // namespace Rdr00800
