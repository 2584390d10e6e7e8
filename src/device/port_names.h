// Port texts the host mapped to device paths with SetPortDevice. The scanner
// thread looks mappings up at every poll while the host may change them on
// its main thread, so both sides take a lock; neither blocks on anything else.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace Rdr00800::detail {

// The device path mapped to `port` (compared ignoring ASCII case), if any.
std::optional<std::string> MappedDevicePath(std::string_view port);

}  // namespace Rdr00800::detail
