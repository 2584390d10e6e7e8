// rdr ports: the serial devices present and whether each can be opened now.
#include <cstdio>

#include "command.h"
#include "output.h"
#include "serial_ports.h"

namespace rdr {
namespace {

std::string Joined(const std::vector<std::string>& texts) {
  std::string joined;
  for (const auto& text : texts) joined += (joined.empty() ? "" : " ") + text;
  return joined;
}

int RunPorts(bool json) {
  const auto ports = ListSerialPorts();
  if (ports.empty() && !json) PrintLine("no serial devices found");
  for (const auto& port : ports) {
    if (json) {
      PrintLine(JsonLine()
                    .Text("device", port.device)
                    .Text("port", port.portName)
                    .Text("state", PortStateName(port.state))
                    .Text("detail", port.detail)
                    .Text("stable_names", Joined(port.stableNames))
                    .str());
      continue;
    }
    std::string line = port.device + "  " + PortStateName(port.state);
    if (!port.portName.empty()) line += "  as " + port.portName;
    if (!port.detail.empty()) line += "  (" + port.detail + ")";
    for (const auto& stable : port.stableNames) line += "\n    " + stable;
    PrintLine(line);
  }
  return kExitOk;
}

}  // namespace

void AddPortsCommand(CLI::App& app, CommandBody& body) {
  auto* command = app.add_subcommand("ports", "List the serial devices and whether each can be opened now");
  command->footer(
      "Lists /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM* with their /dev/serial/by-id names and the COM name the "
      "library maps to each. Other devices are reached by giving their path as --port.");
  auto json = std::make_shared<bool>(false);
  command->add_flag("--json", *json, "One JSON object per device");
  command->callback([&body, json] { body = [json] { return RunPorts(*json); }; });
}

}  // namespace rdr
