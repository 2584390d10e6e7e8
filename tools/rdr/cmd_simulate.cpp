// rdr simulate: a reader on a pseudo-terminal, so hosts (and rdr itself) can
// be tried without hardware.
#include <cstdio>
#include <optional>
#include <vector>

#include "command.h"
#include "escapes.h"
#include "output.h"
#include "proximity_bits.h"
#include "simulated_reader.h"
#include "stop_signal.h"

namespace rdr {
namespace {

struct SimulateOptions {
  std::string kind;
  std::vector<std::string> frameTexts;
  uint32_t facility = 0;
  uint32_t card = 0;
  bool fromCard = false;
  uint32_t everyMs = 2000;
  bool byClock = false;  // --every given
  uint32_t count = 0;
  std::string link;
};

std::vector<std::string> FramesOf(const SimulateOptions& options) {
  if (options.fromCard) {
    if (options.kind != "proximity") {
      throw CommandError(kExitBadArguments,
                         "--facility and --card build proximity frames; give an optical "
                         "reader its --frame");
    }
    return {ProximityFrameFor(options.facility, options.card)};
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
  auto* facility = simulate->add_option("--facility", options->facility, "Facility code 0-255 (proximity)")
                       ->check(CLI::Range(0, 255));
  auto* card =
      simulate->add_option("--card", options->card, "Card number 0-65535 (proximity)")->check(CLI::Range(0, 65535));
  facility->needs(card);
  card->needs(facility);
  frame->excludes(facility)->excludes(card);
  auto* every = simulate
                    ->add_option("--every", options->everyMs,
                                 "A frame every this many milliseconds, by the clock, to whoever holds the device")
                    ->check(CLI::Range(1u, 3600000u));
  simulate->add_option("--count", options->count, "Frames to send, 0 for no end")->capture_default_str();
  simulate->add_option("--link", options->link,
                       "Also make this symlink to the device; an existing path is refused unless a simulator "
                       "that no longer runs left it");
  const auto json = AddJsonFlag(*simulate);
  simulate->callback([&body, options, json, frame, facility, every] {
    if (frame->count() == 0 && facility->count() == 0) {
      throw CLI::ValidationError("--frame", "give --frame, or --facility with --card");
    }
    options->fromCard = facility->count() > 0;
    options->byClock = every->count() > 0;
    body = [=] { return RunSimulate(*options, *json); };
  });
}

}  // namespace rdr
