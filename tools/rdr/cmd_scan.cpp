// rdr scan: runs the library's scanner thread and relays each code it reads
// to standard output or into an X11 window, until Ctrl-C or SIGTERM.
#include <optional>

#include "command.h"
#include "escapes.h"
#include "output.h"
#include "rdr00800/Rdr00800.h"
#include "stop_signal.h"
#include "x11_delivery.h"

namespace rdr {
namespace {

// The handle the tool registers its relay window under.
constexpr uint32_t kRelayWindow = 1;

struct ScanOptions {
  std::string port;
  int32_t baud = 9600;
  int32_t type = 0;
  std::string to = "stdout";
};

// Collects the characters of one relayed code and prints it at its Return.
Rdr00800::WindowProc StdoutRelay(bool json) {
  // Shared, not captured by value: the registry may call a copy of the procedure.
  auto pending = std::make_shared<std::string>();
  return [json, pending](uint32_t message, uintptr_t wParam, intptr_t) -> intptr_t {
    std::string& code = *pending;
    if (message == Rdr00800::kWmChar) code += static_cast<char>(wParam);
    if (message != Rdr00800::kWmKeyDown || wParam != Rdr00800::kVkReturn) return 0;
    if (json) {
      PrintLine(JsonLine().Bytes("code", code).str());
    } else {
      // The frame's own line end would only add blank lines.
      const size_t end = code.find_last_not_of("\r\n");
      PrintLine(ShowEscapes(end == std::string::npos ? std::string() : code.substr(0, end + 1)));
    }
    code.clear();
    return 0;
  };
}

std::optional<X11Delivery> DeliveryFor(const std::string& to) {
  if (to == "stdout") return std::nullopt;
  const std::string prefix = "x11:";
  if (to.compare(0, prefix.size(), prefix) != 0) {
    throw CommandError(kExitBadArguments, "--to takes stdout, x11:WINDOW_ID or x11:focused, not " + to);
  }
  const std::string window = to.substr(prefix.size());
  try {
    if (window == "focused") return X11Delivery(X11Delivery::Target::Focused, 0);
    size_t used = 0;
    const unsigned long id = std::stoul(window, &used, 0);
    if (used != window.size()) throw std::invalid_argument(window);
    return X11Delivery(X11Delivery::Target::Window, id);
  } catch (const X11Error& error) {
    throw CommandError(kExitWindowUnavailable, error.what());
  } catch (const std::logic_error&) {
    throw CommandError(kExitBadArguments, "x11: takes a window id (decimal or 0x...) or focused, not " + window);
  }
}

int RunScan(const ScanOptions& options, bool json) {
  std::optional<X11Delivery> x11 = DeliveryFor(options.to);
  const std::string device = RequireOpenableDevice(options.port);
  const int32_t speed = SpeedIndex(options.baud);
  Rdr00800::RegisterWindow(kRelayWindow, x11 ? x11->WindowProcedure() : StdoutRelay(json));
  Rdr00800::SetPortDevice(Rdr00800::Portas[1], device);
  Rdr00800::IdPortaOpt = 1;
  Rdr00800::IdVelocOpt = speed;
  Rdr00800::IdTipoOpt = options.type;
  InstallStopSignals();

  auto scanner = std::make_unique<Rdr00800::TScannerThread>(Rdr00800::tpNormal, kRelayWindow);
  scanner->Start();
  while (!StopRequested() && !scanner->Finished() && !(x11 && !x11->Error().empty())) {
    Rdr00800::CheckSynchronize(100);
  }
  // Waiting on the main thread serves the last poll's relay, so no code is lost.
  scanner->Terminate();
  scanner->WaitFor();
  const std::exception_ptr failure = scanner->FatalException();
  scanner.reset();
  Rdr00800::UnregisterWindow(kRelayWindow);
  if (x11 && !x11->Error().empty()) throw CommandError(kExitWindowUnavailable, x11->Error());
  if (failure) std::rethrow_exception(failure);
  return kExitOk;
}

}  // namespace

void AddScanCommand(CLI::App& app, CommandBody& body) {
  auto* scan = app.add_subcommand("scan", "Relay each code the optical reader sends until Ctrl-C or SIGTERM");
  scan->footer(
      "Runs the library's scanner thread. --to x11:WINDOW_ID sends synthetic key events (XSendEvent), which some "
      "programs ignore; --to x11:focused types through XTest into the focused window, which they accept.");
  auto options = std::make_shared<ScanOptions>();
  scan->add_option("--port", options->port, "COMn, LPT1 or a device path")->required();
  scan->add_option("--baud", options->baud, "Line speed, one of the library's table")->capture_default_str();
  scan->add_option("--type", options->type, "Optical reader type: 2 drops each frame's last character")
      ->capture_default_str();
  scan->add_option("--to", options->to, "stdout, x11:WINDOW_ID or x11:focused")->capture_default_str();
  const auto json = AddJsonFlag(*scan);
  scan->callback([&body, options, json] { body = [=] { return RunScan(*options, *json); }; });
}

}  // namespace rdr
