// What the demo needs from its surroundings: where rdr lives (the gateway
// loads KQZR32.dll from there first) and the sample decryption library's
// encrypting entry. One backend per platform (sample_library_posix.cpp).
// Main thread.
#pragma once

#include <string>

namespace rdr {

// The directory of the running executable, without a trailing separator.
// Throws std::runtime_error when the platform does not tell.
std::string ExecutableDirectory();

// Encrypts `code` with the entry "CriptografaMatricula" of the library file
// `libraryPath`, which reads its key from `directory`. The library stays
// loaded for the life of the process, as the gateway keeps it too. Throws
// std::runtime_error when the file cannot be loaded or lacks the entry.
std::string EncryptWithSampleLibrary(const std::string& libraryPath, const std::string& directory,
                                     const std::string& code);

}  // namespace rdr
