// Internal side of the host framework services: what the library itself needs
// beyond the public HostFramework class.
#pragma once

#include "rdr00800/Rdr00800.h"
#include "rdr00800/rdr00800.h"

namespace Rdr00800::detail {

// Called by TADOConnection's destructor, on the main thread, for every
// connection that goes away. When it is the session the built-in default
// framework remembers, the default forgets it so CurrentADODBSession() never
// returns a dangling pointer. Never blocks, never throws.
void ForgetADODBSession(TADOConnection* connection) noexcept;

// Installs a framework made of the C host's callbacks (a copy of *callbacks
// is kept); nullptr restores the built-in default. Called by the C interface
// on the main thread; may throw std::bad_alloc, leaving the current framework.
void InstallCallbackHostFramework(const Rdr00800HostFramework* callbacks);

}  // namespace Rdr00800::detail
