// The one-shot serial read shared by the optical and proximity reads.
// Runs on the calling thread (the scanner thread for the optical reader);
// blocks up to about one second once the port is open.
#pragma once

#include <string>

namespace Rdr00800::detail {

// One poll of the optical reader. `reachedDevice` is false when the poll
// ended without waiting on a device (no such port, port busy, line setup
// refused): the scanner thread pauses before polling again only then.
struct OpticalPoll {
  std::string frame;
  bool reachedDevice = false;
};

// GetOpticalReaderValue with the outcome the scanner thread needs.
OpticalPoll PollOpticalReader();

}  // namespace Rdr00800::detail
