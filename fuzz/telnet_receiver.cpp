// The Telnet receiver of network readers, fed what a hostile server may send:
// it stays inside its bounds, always makes progress, and gives the same bytes
// and answers however the input is cut into pieces.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "network/telnet_com_port.h"

namespace {

using Rdr00800::detail::TelnetReceiver;

struct Outcome {
  std::string data;
  std::string replies;
  TelnetReceiver receiver;
};

// Feeds `input` in pieces of at most `piece` bytes, into a data buffer of
// `room` bytes that is emptied after each Feed.
Outcome FeedAll(std::string_view input, size_t piece, size_t room) {
  Outcome outcome;
  std::vector<char> data(room);
  while (!input.empty()) {
    const std::string_view chunk = input.substr(0, piece);
    const auto step = outcome.receiver.Feed(chunk, data);
    rdrfuzz::Require(step.consumed <= chunk.size() && step.produced <= data.size(), "within the given buffers");
    rdrfuzz::Require(step.consumed > 0, "progress while there is room");
    rdrfuzz::Require(outcome.receiver.Replies().size() <= TelnetReceiver::kReplyLimit, "replies bounded");
    outcome.data.append(data.data(), step.produced);
    outcome.replies += outcome.receiver.Replies();
    outcome.receiver.ClearReplies();
    input.remove_prefix(step.consumed);
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t piece = data[0] % 7 + 1;
  const size_t room = data[1] % 5 + 1;
  const std::string_view input = rdrfuzz::AsText(data + 2, size - 2);
  const Outcome whole = FeedAll(input, input.size() + 1, input.size() + 1);
  const Outcome cut = FeedAll(input, piece, room);
  rdrfuzz::Require(whole.data.size() <= input.size(), "never more bytes than were sent");
  rdrfuzz::Require(whole.data == cut.data, "the same bytes however cut");
  rdrfuzz::Require(whole.replies == cut.replies, "the same replies however cut");
  rdrfuzz::Require(whole.receiver.AnswerCount() == cut.receiver.AnswerCount(), "the same answers however cut");
  rdrfuzz::Require(whole.receiver.Answers().baud == cut.receiver.Answers().baud, "the same speed however cut");
  return 0;
}
