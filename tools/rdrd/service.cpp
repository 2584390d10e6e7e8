#include "service.h"

// GCC 12 in C++20 needs <utility> before Asio's coroutine support.
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <csignal>
#include <utility>

#include "log.h"
#include "notify.h"
#include "pages.h"
#include "readers.h"
#include "server.h"

namespace rdrd {
namespace {

namespace net = boost::asio;

// What the loop still may do after a stop before it is ended.
constexpr auto kStopGrace = std::chrono::milliseconds(500);

std::string Joined(const std::vector<std::string>& ids) {
  std::string text;
  for (const auto& id : ids) text += (text.empty() ? "" : ", ") + id;
  return text;
}

class Service {
 public:
  Service(const CommandLine& commandLine, const std::vector<ExtensionFactory>& factories)
      : commandLine_(commandLine),
        config_(commandLine.config),
        hub_(config_.serverId, config_.backlog),
        server_(loop_, hub_, RDRD_VERSION),
        readers_([this](std::function<void()> work) { net::post(loop_, std::move(work)); },
                 ReaderReport{[this](const std::string& reader, const std::string& code,
                                     const std::optional<nlohmann::ordered_json>& credential) {
                                OnCode(reader, code, credential);
                              },
                              [this](const std::string& reader, const std::string& status, const std::string& message) {
                                OnStatus(reader, status, message);
                              }}),
        signals_(loop_, SIGHUP, SIGTERM, SIGINT),
        stopTimer_(loop_),
        factories_(factories) {}

  int Run() {
    try {
      for (const auto& address : server_.Listen(config_.listen)) Log("listening on " + address.Text());
    } catch (const std::runtime_error& error) {
      Log(error.what());
      return 1;
    }
    server_.Configure(config_);
    ApplyReaders();
    for (const auto& factory : factories_) extensions_.push_back(factory(loop_, hub_, config_));
    WaitForSignal();
    NotifyServiceManager("READY=1\nSTATUS=" + ReadersOnline(hub_));
    loop_.run();
    return 0;
  }

 private:
  void OnCode(const std::string& reader, const std::string& code,
              const std::optional<nlohmann::ordered_json>& credential) {
    if (commandLine_.logCodes) Log("reader " + reader + ": code " + code);
    hub_.PublishCode(reader, code, credential);
  }

  void OnStatus(const std::string& reader, const std::string& status, const std::string& message) {
    Log("reader " + reader + ": " + status + (message.empty() ? "" : " (" + message + ")"));
    hub_.PublishStatus(reader, status, message);
    NotifyServiceManager("STATUS=" + ReadersOnline(hub_));
  }

  void ApplyReaders() {
    const auto change = readers_.Apply(config_.readers);
    hub_.SetReaders(config_.readers);
    if (!change.closed.empty()) Log("readers closed: " + Joined(change.closed));
    if (!change.opened.empty()) Log("readers opened: " + Joined(change.opened));
  }

  void WaitForSignal() {
    signals_.async_wait([this](const boost::system::error_code& error, int signal) {
      if (error) return;
      if (signal == SIGHUP) {
        Reload();
        return WaitForSignal();
      }
      Stop();
    });
  }

  void Reload() {
    Config next;
    try {
      next = ReloadConfig(commandLine_);
    } catch (const ConfigError& error) {
      Log(std::string("reload refused, the configuration stays as it was: ") + error.what());
      return;
    }
    if (next.listen.size() != config_.listen.size() ||
        !std::equal(next.listen.begin(), next.listen.end(), config_.listen.begin(),
                    [](const auto& a, const auto& b) { return a.Text() == b.Text(); }) ||
        next.serverId != config_.serverId) {
      Log("listen and server_id take effect at the next start");
    }
    next.listen = config_.listen;
    next.serverId = config_.serverId;
    config_ = std::move(next);
    server_.Configure(config_);
    hub_.SetBacklogLimit(config_.backlog);
    ApplyReaders();
    for (auto& extension : extensions_) extension->Reconfigure(config_);
    Log("configuration reloaded");
    NotifyServiceManager("READY=1\nSTATUS=" + ReadersOnline(hub_));
  }

  void Stop() {
    Log("stopping");
    NotifyServiceManager("STOPPING=1");
    server_.Close();
    readers_.StopAll();
    signals_.cancel();
    bool finishing = false;
    for (auto& extension : extensions_) finishing = extension->Stop() || finishing;
    if (!finishing) {
      // What the closes queued runs first.
      net::post(loop_, [this] { loop_.stop(); });
      return;
    }
    stopTimer_.expires_after(kStopGrace);
    stopTimer_.async_wait([this](const boost::system::error_code&) { loop_.stop(); });
  }

  const CommandLine& commandLine_;
  Config config_;
  // The hub outlives the loop: handlers the loop still holds at its end refer to it.
  EventHub hub_;
  net::io_context loop_{1};
  HttpServer server_;
  ReaderSet readers_;
  net::signal_set signals_;
  net::steady_timer stopTimer_;
  const std::vector<ExtensionFactory>& factories_;
  std::vector<std::unique_ptr<Extension>> extensions_;
};

}  // namespace

int RunService(const CommandLine& commandLine, const std::vector<ExtensionFactory>& extensions) {
  Service service(commandLine, extensions);
  return service.Run();
}

}  // namespace rdrd
