#include "runtime/main_thread.h"

#include <atomic>
#include <thread>

namespace Rdr00800::detail {
namespace {

// Static initialization runs on the thread that maps the library, which is
// the main thread for a host that never runs the package load.
std::atomic<std::thread::id> gMainThread{std::this_thread::get_id()};

}  // namespace

void MakeCurrentThreadMain() { gMainThread.store(std::this_thread::get_id()); }

bool IsMainThread() { return gMainThread.load() == std::this_thread::get_id(); }

}  // namespace Rdr00800::detail
