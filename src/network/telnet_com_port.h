// The client side of Telnet with the COM port option, as a reader behind a
// serial device server speaks it: what the client sends to set the line, and
// a receiver that turns what the server sends into the reader's bytes.
//
// Pure: no I/O, no clock, no globals. Callers: the network device backend
// (network_device.cpp), on the thread polling the device. The receiver is fed
// untrusted bytes from the network; every buffer it keeps has a fixed bound,
// and nothing it is fed can make it read or write outside them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "device/device.h"

namespace Rdr00800::detail {

// The bytes that ask for BINARY in both directions and offer the COM port
// option. Sent once, right after connecting; the client never waits for the
// answers.
std::string_view TelnetOptionRequests();

// The COM port option's requests for `line`, flow control off, with every
// 0xFF byte of a value doubled.
std::string ComPortLineRequests(const LineSettings& line);

// What the server answered to the line's requests, as far as it did.
struct ComPortAnswers {
  std::optional<uint32_t> baud;
  std::optional<uint8_t> dataBits;
  std::optional<uint8_t> parity;    // the option's code: 1 none, 2 odd, 3 even, 4 mark, 5 space
  std::optional<uint8_t> stopBits;  // the option's code: 1 one, 2 two, 3 one and a half
};

// What the answers refuse of `asked`, for a person ("the server answered 4800
// bit/s"); the empty text when every answer so far agrees.
std::string RefusedPartOf(const ComPortAnswers& answers, const LineSettings& asked);

class TelnetReceiver {
 public:
  // Room for the replies one Feed may produce before the caller sends them.
  static constexpr size_t kReplyLimit = 96;
  // A subnegotiation's payload kept for parsing; longer ones are skipped.
  static constexpr size_t kSubnegotiationLimit = 16;

  struct Step {
    size_t consumed = 0;  // bytes of the input taken
    size_t produced = 0;  // reader's bytes written to the start of `data`
  };

  // Takes bytes from `input` until it is used up, `data` is full, or the
  // replies have no room for another; the caller sends Replies(), calls
  // ClearReplies() and feeds the rest. Never throws.
  Step Feed(std::span<const char> input, std::span<char> data) noexcept;

  // The refusals of options the client does not take, due to the server.
  std::string_view Replies() const noexcept { return {replies_.data(), replyCount_}; }
  void ClearReplies() noexcept { replyCount_ = 0; }

  const ComPortAnswers& Answers() const noexcept { return answers_; }
  // Counts every answer of the COM port option, to notice a new one.
  uint32_t AnswerCount() const noexcept { return answerCount_; }
  // Whether the server has negotiated any option yet: a Telnet server
  // answers the client's requests at once, a raw TCP port never does.
  bool HeardNegotiation() const noexcept { return heardNegotiation_; }

 private:
  enum class State : uint8_t { Data, AfterCr, Command, Option, Subnegotiation, SubnegotiationIac };

  void OnOption(uint8_t verb, uint8_t option) noexcept;
  void OnSubnegotiationEnd() noexcept;
  void Reply(uint8_t verb, uint8_t option) noexcept;

  State state_ = State::Data;
  uint8_t verb_ = 0;
  bool serverBinary_ = false;
  std::array<char, kReplyLimit> replies_{};
  size_t replyCount_ = 0;
  std::array<uint8_t, kSubnegotiationLimit> sub_{};
  size_t subSize_ = 0;
  bool subTooLong_ = false;
  ComPortAnswers answers_;
  uint32_t answerCount_ = 0;
  bool heardNegotiation_ = false;
};

}  // namespace Rdr00800::detail
