// The broker link as a part of rdrd: it follows the hub as one of its sinks,
// reads the hub's backlog for what the broker has not acknowledged, and
// adds the link's state to /v1/readers ("mqtt") and to the metrics. Loop
// thread only, as the hub.
#pragma once

#include <memory>

#include "service.h"

namespace rdrd {

// An ExtensionFactory. With no [mqtt] url, or one the link cannot use (said
// in the log), the extension waits, linked to no broker, for a reload that
// names one.
std::unique_ptr<Extension> MakeMqttExtension(boost::asio::io_context& loop, EventHub& hub, const Config& config);

}  // namespace rdrd
