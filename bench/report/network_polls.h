// Polls of a reader behind ser2net on loopback: the reader sends its frame
// the moment the server opens its device, as a reader that streams does.
// Timed for the library (rfc2217:// and tcp://), a bare socket and pyserial's
// serial_for_url("rfc2217://...") against the same server. Main thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "poll_contenders.h"

namespace rdrbench {

// Milliseconds from the frame's sending to the poll's return, per round.
struct AfterFrame {
  std::vector<double> rfc2217, tcp, bareSocket;
};

struct NetworkPolls {
  // Per round, milliseconds: each poll from its start to its return.
  std::vector<double> rfc2217Total, pyserialTotal;
  // The library, and a bare socket reading the raw accepter until the frame
  // is in: ser2net's own floor. Through ser2net as installed, and through one
  // that forwards each character at once (chardelay: false).
  AfterFrame batched, prompt;
  int lost = 0, pyserialLost = 0;
  int rounds = 0;
};

// `rounds` rounds, the contenders in turn; `pyserialPoll` polls a URL
// in the pyserial interpreter. Throws std::runtime_error when ser2net cannot
// be started.
NetworkPolls TimeNetworkPolls(int rounds, const std::function<PollOutcome(const std::string& url)>& pyserialPoll);

}  // namespace rdrbench
