// rdrd's log: one line per event worth telling, on standard error (the
// journal under systemd). Lines name readers, clients and reasons; never a
// code or the token.
#pragma once

#include <string_view>

namespace rdrd {

void Log(std::string_view line);

}  // namespace rdrd
