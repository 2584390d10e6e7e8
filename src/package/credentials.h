// The process-wide credential catalogue: the built-in formats and those a
// host registered. Callers: the public credential calls, the proximity road's
// parity check and the tools, on any thread.
#pragma once

#include "decode/credential_format.h"

namespace Rdr00800::detail {

// The catalogue as of now. Never blocks; the reference stays valid for the
// life of the process, and a registration made meanwhile does not change it.
const CredentialCatalogue& CurrentCredentialCatalogue() noexcept;

}  // namespace Rdr00800::detail
