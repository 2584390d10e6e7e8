// Internal side of the decryption gateway, shared with the C interface and
// the rdr tool. Main thread only, like the rest of the gateway.
#pragma once

#include <string>
#include <string_view>

#include "decode/ascii_case.h"

namespace Rdr00800::detail {

// A decryption library answers with the name of its configuration file, in
// any letter case, when it found none in the directory it was given.
inline bool IsMissingConfigurationAnswer(std::string_view answer) noexcept {
  return EqualsIgnoringAsciiCase(answer, "CLIENTE.CFG");
}

// `text` with its first "%s" replaced by `directory`, copied as plain text:
// nothing in `directory` is read as a placeholder.
std::string FormatWithDirectory(const std::string& text, const std::string& directory);

// LeitorDescriptoDll, also telling whether `result` was written (only the
// paths that called the library write it), for the C interface's ownership
// rule. Blocks on the database login and the library's own work; database
// errors propagate as EDatabaseError after the data module is freed.
bool DecryptOnce(std::string& result, bool& resultWritten, const std::string& directory, const std::string& code);

}  // namespace Rdr00800::detail
