// rdr simulate: a reader on a pseudo-terminal, so hosts (and rdr itself) can
// be tried without hardware.
#include <cstdio>
#include <optional>
#include <vector>

#include "command.h"
#include "credential_text.h"
#include "escapes.h"
#include "output.h"
#include "proximity_bits.h"
#include "simulated_reader.h"
#include "stop_signal.h"

namespace rdr {
namespace {

// An EM4100 reader sends the card's frame again this often while it lies there.
constexpr std::chrono::milliseconds kEm4100Repeat{65};

struct SimulateOptions {
  std::string kind;
  std::vector<std::string> frameTexts;
  uint64_t facility = 0;
  uint64_t card = 0;
  bool fromCard = false;
  std::string format;  // with a layout: the card in this format
  std::string layout;
  bool badParity = false;
  uint32_t holdMs = 500;
  uint32_t everyMs = 2000;
  bool byClock = false;  // --every given
  uint32_t count = 0;
  std::string link;
};

// Inverts the bit `fromLowest` places above the lowest of the value that the
// hexadecimal digits [first, first + count) of `frame` write.
void FlipHexBit(std::string& frame, size_t first, size_t count, int fromLowest) {
  const size_t at = first + count - 1 - static_cast<size_t>(fromLowest / 4);
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const unsigned long digit = std::stoul(frame.substr(at, 1), nullptr, 16) ^ (1u << (fromLowest % 4));
  frame[at] = kDigits[digit];
}

// The frame a reader sends for the card, built by the library's encoder;
// with `badParity`, one parity bit (an EM4100 frame's checksum) inverted.
std::string CredentialFrameFor(const SimulateOptions& options) {
  const std::string format = !options.format.empty() ? options.format : options.layout == "em4100" ? "EM4100" : "H10301";
  std::string frame;
  try {
    frame = Rdr00800::EncodeCredential(format, options.facility, options.card, options.layout);
  } catch (const std::invalid_argument& error) {
    throw CommandError(kExitBadArguments, error.what());
  }
  if (options.layout == "em4100") {
    if (options.badParity) FlipHexBit(frame, 1, 12, 0);  // STX, ten digits and the checksum's two
    return frame;
  }
  // Hexadecimal layouts end the frame as this library's proximity readers do.
  if (options.badParity) {
    const std::vector<Rdr00800::Credential> decoded = Rdr00800::DecodeCredentials(frame, options.layout, format);
    const std::vector<ParityBitCheck> parity = decoded.empty() ? std::vector<ParityBitCheck>() : ParityBitsOf(decoded[0]);
    if (parity.empty()) throw CommandError(kExitBadArguments, "--bad-parity: " + format + " has no parity bit");
    // hex40 puts the word's first bit at bit 9 of its 40; the others right-align it.
    const int bits = decoded[0].bits;
    const int fromLowest = options.layout == "hex40" ? 32 - parity[0].position : bits - parity[0].position;
    FlipHexBit(frame, 0, frame.size(), fromLowest);
  }
  return frame + "\r\n";
}

std::vector<std::string> FramesOf(const SimulateOptions& options) {
  if (options.fromCard) {
    if (options.kind != "proximity") {
      throw CommandError(kExitBadArguments,
                         "--facility and --card build proximity frames; give an optical "
                         "reader its --frame");
    }
    if (!options.layout.empty()) return {CredentialFrameFor(options)};
    if (options.facility > 255 || options.card > 65535) {
      throw CommandError(kExitBadArguments, "without --format, --facility takes 0-255 and --card 0-65535");
    }
    return {ProximityFrameFor(static_cast<uint32_t>(options.facility), static_cast<uint32_t>(options.card))};
  }
  std::vector<std::string> frames;
  for (const auto& text : options.frameTexts) {
    try {
      frames.push_back(ParseEscapes(text));
    } catch (const std::invalid_argument& error) {
      throw CommandError(kExitBadArguments, std::string("--frame: ") + error.what());
    }
    if (frames.back().empty()) throw CommandError(kExitBadArguments, "--frame is empty");
  }
  return frames;
}

int RunSimulate(const SimulateOptions& options, bool json) {
  const std::vector<std::string> frames = FramesOf(options);
  const std::string& frame = frames.front();
  InstallStopSignals();
  SimulatedReaderOptions reader;
  reader.frames = frames;
  reader.every = std::chrono::milliseconds(options.everyMs);
  reader.pace = options.byClock ? SimulatedReaderOptions::Pace::Clock : SimulatedReaderOptions::Pace::PerOpen;
  reader.count = options.count;
  if (options.layout == "em4100") {
    // One card laid on the reader for the hold, its frame repeated all along.
    reader.every = kEm4100Repeat;
    reader.pace = SimulatedReaderOptions::Pace::Clock;
    reader.count = std::max<uint32_t>(1, (options.holdMs + kEm4100Repeat.count() - 1) / kEm4100Repeat.count());
  }
  reader.linkPath = options.link;
  reader.onSent = [count = options.count](uint32_t sent) {
    ShowProgress("frame " + std::to_string(sent) + " sent" +
                 (sent == count ? "; no more frames, the device stays until Ctrl-C" : ""));
  };
  std::optional<SimulatedReader> made;
  try {
    made.emplace(std::move(reader));
  } catch (const LinkPathTaken& error) {
    throw CommandError(kExitBadArguments, std::string("--link: ") + error.what());
  }
  const SimulatedReader& simulator = *made;
  if (json) {
    PrintLine(JsonLine()
                  .Text("kind", options.kind)
                  .Text("device", simulator.DevicePath())
                  .Text("terminal", simulator.TerminalPath())
                  .Bytes("frame", frame)
                  .str());
  } else {
    PrintLine(simulator.DevicePath());
  }
  const std::string more = frames.size() > 1 ? " and " + std::to_string(frames.size() - 1) + " more frames" : "";
  ShowProgress("simulated " + options.kind + " reader sending " + ShowEscapes(frame) + more + " to whoever opens " +
               simulator.DevicePath() + "; Ctrl-C ends");
  while (!WaitForStop(std::chrono::hours(1))) {
  }
  return kExitOk;
}

}  // namespace

void AddSimulateCommand(CLI::App& app, CommandBody& body) {
  auto* simulate = app.add_subcommand("simulate", "Simulate a reader on a pseudo-terminal");
  simulate->footer(
      "Prints the device path a host opens. Without --every, each program that opens the device gets a frame shortly "
      "after, and the next ones 2 s apart while it keeps the device open. With --every, a frame every period by the "
      "clock goes to whoever holds the device, however often it opens. Nothing is sent while nobody listens.");
  auto options = std::make_shared<SimulateOptions>();
  simulate->add_option("--kind", options->kind, "optical or proximity")
      ->required()
      ->check(CLI::IsMember({"optical", "proximity"}));
  auto* frame = simulate
                    ->add_option("--frame", options->frameTexts,
                                 "The frame; \\r \\n \\t \\0 \\\\ and \\xNN stand for bytes. Given more "
                                 "than once, the frames are sent in turn")
                    ->allow_extra_args(false);
  auto* facility =
      simulate->add_option("--facility", options->facility, "Facility code (proximity): 0-255, or as --format has it");
  auto* card = simulate->add_option("--card", options->card, "Card number (proximity): 0-65535, or as --format has it");
  facility->needs(card);
  card->needs(facility);
  frame->excludes(facility)->excludes(card);
  auto* format = simulate->add_option("--format", options->format,
                                      "Send the card in this format (rdr formats), with its parity bits")
                     ->needs(facility);
  auto* layout = simulate
                     ->add_option("--layout", options->layout,
                                  "How the card is sent: hex40 (the default with --format), hex, hex:N, packed, or "
                                  "em4100 (STX, 10 digits, checksum, ETX, repeated every 65 ms for --hold)")
                     ->needs(facility);
  simulate->add_flag("--bad-parity", options->badParity, "Invert one parity bit (em4100: the checksum)")
      ->needs(facility);
  auto* hold = simulate->add_option("--hold", options->holdMs, "em4100: how long the card lies on the reader (ms)")
                   ->capture_default_str()
                   ->check(CLI::Range(1u, 3600000u))
                   ->needs(layout);
  auto* every = simulate
                    ->add_option("--every", options->everyMs,
                                 "A frame every this many milliseconds, by the clock, to whoever holds the device")
                    ->check(CLI::Range(1u, 3600000u));
  auto* count = simulate->add_option("--count", options->count, "Frames to send, 0 for no end")->capture_default_str();
  simulate->add_option("--link", options->link,
                       "Also make this symlink to the device; an existing path is refused unless a simulator "
                       "that no longer runs left it");
  const auto json = AddJsonFlag(*simulate);
  simulate->callback([&body, options, json, frame, facility, every, count, format, hold] {
    if (frame->count() == 0 && facility->count() == 0) {
      throw CLI::ValidationError("--frame", "give --frame, or --facility with --card");
    }
    if (options->layout == "em4100" && (every->count() > 0 || count->count() > 0)) {
      throw CLI::ValidationError("--layout", "em4100 repeats its frame every 65 ms for --hold; no --every or --count");
    }
    if (hold->count() > 0 && options->layout != "em4100") throw CLI::ValidationError("--hold", "needs --layout em4100");
    if (options->layout.empty() && (format->count() > 0 || options->badParity)) options->layout = "hex40";
    options->fromCard = facility->count() > 0;
    options->byClock = every->count() > 0;
    body = [=] { return RunSimulate(*options, *json); };
  });
}

}  // namespace rdr
