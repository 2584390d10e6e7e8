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

// Why a one-shot call gave no decrypted code (a database error is thrown).
enum class DecryptFailure { None, LibraryFileMissing, LibraryNotLoaded, EntryMissing, ConfigurationMissing };

// The same as one English line, for hosts that do not read the library's
// Portuguese messages.
const char* DecryptFailureInEnglish(DecryptFailure failure) noexcept;

struct DecryptOutcome {
  bool resultWritten = false;  // only the paths that called the library write the result
  DecryptFailure failure = DecryptFailure::None;
  std::string message;  // what the host framework was shown (Windows-1252); "" when nothing was
};

// LeitorDescriptoDll, also telling what the C interface needs: whether
// `result` was written, for its ownership rule, and why it failed, for
// Rdr00800_LastError. Blocks on the database login and the library's own
// work; database errors propagate as EDatabaseError after the data module is
// freed.
bool DecryptOnce(std::string& result, DecryptOutcome& outcome, const std::string& directory, const std::string& code);

}  // namespace Rdr00800::detail
