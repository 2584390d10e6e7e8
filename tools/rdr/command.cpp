#include "command.h"

#include "decode/ascii_case.h"
#include "rdr00800/Rdr00800.h"

namespace rdr {

std::shared_ptr<bool> AddJsonFlag(CLI::App& command) {
  auto json = std::make_shared<bool>(false);
  command.add_flag("--json", *json, "Print each result as one JSON object on its own line");
  return json;
}

std::string InToolTerms(std::string message) {
  if (const size_t hint = message.find("map it with SetPortDevice"); hint != std::string::npos) {
    message.replace(hint, std::string::npos,
                    "give --port the reader's device, such as /dev/ttyUSB0 (rdr ports lists them)");
  }
  return message;
}

std::string LastReadMessage() { return InToolTerms(Rdr00800::LastReadMessage()); }

CommandError PollFailure(const std::string& port, const std::string& awaited) {
  using Rdr00800::ReadStatus;
  switch (Rdr00800::LastReadStatus()) {
    case ReadStatus::Ok: {                        // bytes came, and held nothing
      const std::string cut = LastReadMessage();  // a NUL may have cut them
      return CommandError(kExitNothingRead,
                          "no " + awaited + " in what " + port + " sent" + (cut.empty() ? "" : ": " + cut));
    }
    case ReadStatus::NothingInTime:
    case ReadStatus::HungUp:
    case ReadStatus::IoError:
    case ReadStatus::BadFrame:
      return CommandError(kExitNothingRead, LastReadMessage());
    case ReadStatus::NoSuchDevice:
    case ReadStatus::PermissionDenied:
    case ReadStatus::Busy:
    case ReadStatus::NotASerialPort:
    case ReadStatus::LineRefused:
      break;
  }
  return CommandError(kExitDeviceUnavailable, LastReadMessage());
}

bool IsNetworkPort(const std::string& device) {
  using Rdr00800::detail::StartsWithIgnoringAsciiCase;
  return StartsWithIgnoringAsciiCase(device, "rfc2217://") || StartsWithIgnoringAsciiCase(device, "tcp://");
}

void RefuseMalformedNetworkPort(const std::string& port) {
  if (const std::string problem = Rdr00800::NetworkPortProblem(port); !problem.empty()) {
    throw CommandError(kExitBadArguments, "--port " + port + ": " + problem);
  }
}

int32_t SpeedIndex(int32_t baud) {
  const std::string text = std::to_string(baud);
  for (size_t index = 0; index < Rdr00800::Velocidades.size(); ++index) {
    if (Rdr00800::Velocidades[index] == text) return static_cast<int32_t>(index);
  }
  std::string speeds;
  for (const auto& speed : Rdr00800::Velocidades) speeds += " " + speed;
  throw CommandError(kExitBadArguments, "the optical reader takes one of the speeds" + speeds);
}

}  // namespace rdr
