#include "runtime/window_registry.h"

#include <mutex>
#include <unordered_map>
#include <utility>

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

namespace detail {

std::shared_ptr<const WindowProc> RegisteredWindowProc(uint32_t handle) {
  WindowRegistry& registry = Registry();
  std::lock_guard lock(registry.mutex);
  const auto it = registry.windows.find(handle);
  return it != registry.windows.end() ? it->second : nullptr;
}

}  // namespace detail
}  // namespace Rdr00800
