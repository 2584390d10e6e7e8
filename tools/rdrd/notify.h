// The service manager's notifications (READY=1, STATUS=..., STOPPING=1),
// sent to $NOTIFY_SOCKET when there is one; nothing without it.
#pragma once

#include <string_view>

namespace rdrd {

void NotifyServiceManager(std::string_view state);

}  // namespace rdrd
