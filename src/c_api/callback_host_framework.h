// The adapter that serves a C host's framework callbacks through the C++
// HostFramework interface.
#pragma once

#include "package/host_framework.h"
#include "rdr00800/Rdr00800.h"
#include "rdr00800/rdr00800.h"

namespace Rdr00800::detail {

// Installs a framework made of the C host's callbacks (a copy of *callbacks
// is kept); nullptr restores the built-in default. Called by the C interface
// on the main thread; may throw std::bad_alloc, leaving the current framework.
void InstallCallbackHostFramework(const Rdr00800HostFramework* callbacks);

}  // namespace Rdr00800::detail
