#include "device/system_call_faults.h"

#include <array>
#include <atomic>
#include <mutex>

namespace Rdr00800::detail {

namespace {

struct InjectedFailure {
  int error = 0;
  int remaining = 0;
  int realBefore = 0;  // calls still to reach the system first
};

std::mutex faultsMutex;
std::array<InjectedFailure, kSystemCallKinds> faults;
// Lets every real poll skip the mutex while no test injects anything.
std::atomic<bool> anyInjected{false};

bool AnyRemaining() {
  for (const auto& fault : faults) {
    if (fault.remaining > 0) return true;
  }
  return false;
}

}  // namespace

void InjectSystemCallFailure(SystemCall call, int error, int times, int after) {
  std::lock_guard lock(faultsMutex);
  faults[static_cast<size_t>(call)] = {error, times, after};
  anyInjected.store(AnyRemaining(), std::memory_order_release);
}

void ClearSystemCallFailures() {
  std::lock_guard lock(faultsMutex);
  faults = {};
  anyInjected.store(false, std::memory_order_release);
}

int TakeInjectedFailure(SystemCall call) noexcept {
  if (!anyInjected.load(std::memory_order_acquire)) return 0;
  std::lock_guard lock(faultsMutex);
  InjectedFailure& fault = faults[static_cast<size_t>(call)];
  if (fault.remaining <= 0) return 0;
  if (fault.realBefore > 0) return --fault.realBefore, 0;
  --fault.remaining;
  anyInjected.store(AnyRemaining(), std::memory_order_release);
  return fault.error;
}

}  // namespace Rdr00800::detail
