// Frames to credentials and back: the reader layouts (hex40, hex, hex:N,
// packed, em4100) around the one packer and checker of credential_format.h.
// Pure: the catalogue is handed in; any thread; the decoder reads nothing
// past the frame and never throws for a bad frame.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decode/credential_format.h"
#include "rdr00800/Rdr00800.h"

namespace Rdr00800::detail {

// DecodeCredentials over `catalogue`; std::invalid_argument for an unknown
// layout or format name only.
std::vector<Credential> DecodeCredentials(std::string_view frame, std::string_view layout, std::string_view format,
                                          const CredentialCatalogue& catalogue);

// EncodeCredential over `catalogue`.
std::string EncodeCredential(const CredentialCatalogue& catalogue, std::string_view format, uint64_t facility,
                             uint64_t card, std::string_view layout, uint64_t issue, uint64_t oem);

// Credential::Form; `format` is the credential's format, needed by "code"
// alone (nullptr when the catalogue has none of that name).
std::string CredentialForm(const Credential& credential, std::string_view form, const CredentialFormat* format);

// `frame` without its trailing CR and LF characters, as every layout reads it.
std::string_view WithoutLineEnds(std::string_view frame) noexcept;

// The word `bits` long that a hexadecimal proximity frame carries from bit 9
// of its bit text (bits up to 32), collected as the proximity decoder collects it (digits
// before the first CR, other characters skipped); std::nullopt when the
// frame is too short.
std::optional<uint64_t> ProximityFrameWord(std::string_view frame, int bits) noexcept;

}  // namespace Rdr00800::detail
