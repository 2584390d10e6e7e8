// A badge reader simulated on a pseudo-terminal, for `rdr simulate`, the
// demo and host developers without hardware. One backend per platform
// (simulated_reader_posix.cpp).
//
// Like a real reader on a closed port, it sends nothing while no program has
// the device open: frames written into an unread pseudo-terminal would pile
// up and reach the next opener stale. A program gets no bytes before it had
// time to set its line after its open. A frame the program closed the device
// on without reading is taken back and goes to the next opener, so brief
// opens (a program checking that the port opens) neither get nor lose a frame.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace rdr {

struct SimulatedReaderOptions {
  // Sent in turn, starting over after the last.
  std::vector<std::string> frames;
  std::chrono::milliseconds every{2000};
  // Frames to deliver in all; 0 sends until stopped. The device stays after
  // the last one, so later opens read nothing rather than find no device.
  uint32_t count = 0;
  // A symlink made to the device, claimed for the simulator's life so that
  // no other simulator takes it over. An existing path is replaced only when
  // it is a symlink into /dev/pts, as this simulator makes, and no running
  // simulator claims it (one left by a run that was killed); anything else
  // throws LinkPathTaken. The destructor removes the link only while it
  // still points to this simulator's device.
  std::string linkPath;
  // Called on the simulator's own thread after each frame is written, with
  // the number of frames sent so far.
  std::function<void(uint32_t sent)> onSent;
  // PerOpen: every program that opens the device gets a frame shortly after
  // its open and, while it keeps the device open, the next ones `every`
  // apart. Clock: a frame every `every` from the first open on, to whoever
  // holds the device then, so a host that polls (opens, reads, closes) gets
  // one per period however often it opens; a frame falling due while nobody
  // holds the device waits for the next open, and only one waits.
  enum class Pace { PerOpen, Clock };
  Pace pace = Pace::PerOpen;
};

// The link path names something the simulator did not make, or the link of
// a simulator that still runs.
class LinkPathTaken : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SimulatedReader {
 public:
  // Opens the pseudo-terminal in raw mode, makes the link and starts sending
  // on a thread of its own. Throws std::system_error when the terminal or the
  // link cannot be made, LinkPathTaken when the link path is in use.
  explicit SimulatedReader(SimulatedReaderOptions options);
  // Stops sending, joins the thread, removes the link, closes the terminal.
  ~SimulatedReader();
  SimulatedReader(const SimulatedReader&) = delete;
  SimulatedReader& operator=(const SimulatedReader&) = delete;

  // The device a host opens: the link when there is one.
  const std::string& DevicePath() const;
  const std::string& TerminalPath() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace rdr
