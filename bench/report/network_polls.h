// Polls of a reader behind ser2net on loopback: the reader sends its frame
// the moment the server opens its device, as a reader that streams does.
// Timed for the library (rfc2217:// and tcp://) and for pyserial's
// serial_for_url("rfc2217://...") against the same server. Main thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "poll_contenders.h"

namespace rdrbench {

struct NetworkPolls {
  // Per round, milliseconds: each poll from its start to its return, and the
  // library's from the frame's sending to the return.
  std::vector<double> rfc2217Total, rfc2217AfterFrame, tcpAfterFrame, pyserialTotal;
  int rfc2217Lost = 0, tcpLost = 0, pyserialLost = 0;
  int rounds = 0;
};

// `rounds` rounds, the three contenders in turn; `pyserialPoll` polls a URL
// in the pyserial interpreter. Throws std::runtime_error when ser2net cannot
// be started.
NetworkPolls TimeNetworkPolls(int rounds, const std::function<PollOutcome(const std::string& url)>& pyserialPoll);

}  // namespace rdrbench
