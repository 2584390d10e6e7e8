#include "runtime/trace.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include "rdr00800/Rdr00800.h"

namespace Rdr00800 {

namespace detail {

std::atomic<bool> gTracing{false};

namespace {

std::mutex handlerMutex;
// Shared, so a step on another thread can keep calling the handler it took
// while the host replaces it.
std::shared_ptr<const TraceHandler> handler;

}  // namespace

void Trace(const std::string& line) noexcept {
  std::shared_ptr<const TraceHandler> current;
  {
    std::lock_guard lock(handlerMutex);
    current = handler;
  }
  if (!current) return;
  try {
    (*current)(line);
  } catch (...) {
  }
}

std::chrono::steady_clock::time_point TraceClock() noexcept {
  return Tracing() ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point();
}

std::string MillisecondsSince(std::chrono::steady_clock::time_point start) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f ms",
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  return text;
}

}  // namespace detail

void SetTraceHandler(TraceHandler traceHandler) {
  auto next = traceHandler ? std::make_shared<const TraceHandler>(std::move(traceHandler)) : nullptr;
  std::lock_guard lock(detail::handlerMutex);
  detail::handler = std::move(next);
  detail::gTracing.store(detail::handler != nullptr, std::memory_order_relaxed);
}

}  // namespace Rdr00800
