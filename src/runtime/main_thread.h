// Which thread is the host's main thread: the one that ran the package load
// (Initialize), or, before any load, the one that mapped the library.
#pragma once

namespace Rdr00800::detail {

// Makes the calling thread the main thread. Called by the package load.
void MakeCurrentThreadMain();
bool IsMainThread();

}  // namespace Rdr00800::detail
