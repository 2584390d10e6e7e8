// Ctrl-C and SIGTERM as a request to stop, for the commands that run until
// told to (scan, simulate) and for those that must release a port first
// (read, prox). One backend per platform (stop_signal_posix.cpp).
#pragma once

#include <chrono>

namespace rdr {

// Turns SIGINT and SIGTERM into a stop request instead of ending the process.
// Called once, on the main thread, before other threads start. Throws
// std::system_error when the signals cannot be taken over.
void InstallStopSignals();

// True once a stop was requested. Any thread; does not block.
bool StopRequested();

// Waits up to `timeout` for a stop request; true when one has arrived (also
// when it arrived before the call). Any thread; blocks only in the wait.
bool WaitForStop(std::chrono::milliseconds timeout);

// When a stop was requested, ends the process as the signal itself would
// have, so the shell sees it; otherwise returns. Main thread, once nothing
// is held open.
void EndIfStopRequested();

}  // namespace rdr
