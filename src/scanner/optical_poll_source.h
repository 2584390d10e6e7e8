// Where scanner threads get their polls from: the optical read, or a stand-in
// that tests and benchmarks put around it to observe or replace the reader.
#pragma once

#include "serial/serial_read.h"

namespace Rdr00800::detail {

using OpticalPollFunction = OpticalPoll (*)();

// Makes every scanner thread poll through `poll`; nullptr restores
// PollOpticalReader. Any thread; a poll already under way finishes with the
// earlier function.
void SetOpticalPollSource(OpticalPollFunction poll);

}  // namespace Rdr00800::detail
