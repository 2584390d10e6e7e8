// rdrd as a whole: the loop, the HTTP server, the readers, the signals
// (SIGHUP reloads, SIGTERM and SIGINT stop) and the service manager.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "config.h"
#include "hub.h"

namespace boost::asio {
class io_context;
}

namespace rdrd {

// Something more on the loop beside the HTTP server, such as a broker link:
// it registers its own EventSink on the hub and replays from the backlog
// with EventsAfter.
class Extension {
 public:
  virtual ~Extension() = default;
  // A reload took `config`.
  virtual void Reconfigure(const Config& /*config*/) {}
  // The service stops: say goodbye. True while the goodbye is still to be
  // written, for which the loop runs on for at most half a second.
  virtual bool Stop() { return false; }
};

using ExtensionFactory =
    std::function<std::unique_ptr<Extension>(boost::asio::io_context& loop, EventHub& hub, const Config& config)>;

// Runs until SIGTERM or SIGINT; the exit status.
int RunService(const CommandLine& commandLine, const std::vector<ExtensionFactory>& extensions);

}  // namespace rdrd
