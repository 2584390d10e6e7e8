// Internal side of the host framework services: what the library itself needs
// beyond the public HostFramework class.
#pragma once

#include <memory>

#include "rdr00800/Rdr00800.h"

namespace Rdr00800::detail {

// Installs a framework the library keeps until another framework (or the
// built-in default, for nullptr) is installed. Called by the C interface on
// the main thread to install its callback adapter. Never throws.
void InstallOwnedHostFramework(std::unique_ptr<HostFramework> framework);

}  // namespace Rdr00800::detail
