#include "network/telnet_com_port.h"

#include <initializer_list>

namespace Rdr00800::detail {

namespace {

constexpr uint8_t kIac = 255;
constexpr uint8_t kDont = 254;
constexpr uint8_t kDo = 253;
constexpr uint8_t kWont = 252;
constexpr uint8_t kWill = 251;
constexpr uint8_t kSb = 250;
constexpr uint8_t kSe = 240;
constexpr uint8_t kBinary = 0;
constexpr uint8_t kComPort = 44;

// The option's commands as the client sends them; the server answers each
// with the same command plus 100.
constexpr uint8_t kSetBaudRate = 1;
constexpr uint8_t kSetDataSize = 2;
constexpr uint8_t kSetParity = 3;
constexpr uint8_t kSetStopSize = 4;
constexpr uint8_t kSetControl = 5;
constexpr uint8_t kServerAnswer = 100;
constexpr uint8_t kNoFlowControl = 1;

constexpr char kRequests[] = {
    static_cast<char>(kIac), static_cast<char>(kWill), static_cast<char>(kBinary),
    static_cast<char>(kIac), static_cast<char>(kDo),   static_cast<char>(kBinary),
    static_cast<char>(kIac), static_cast<char>(kWill), static_cast<char>(kComPort),
};

uint8_t ParityCode(Parity parity) {
  switch (parity) {
    case Parity::Odd:
      return 2;
    case Parity::Even:
      return 3;
    case Parity::None:
      break;
  }
  return 1;
}

const char* ParityName(uint8_t code) {
  switch (code) {
    case 1:
      return "no parity";
    case 2:
      return "odd parity";
    case 3:
      return "even parity";
    case 4:
      return "mark parity";
    case 5:
      return "space parity";
    default:
      return "an unknown parity";
  }
}

const char* StopBitsName(uint8_t code) {
  switch (code) {
    case 1:
      return "1 stop bit";
    case 2:
      return "2 stop bits";
    case 3:
      return "1.5 stop bits";
    default:
      return "an unknown stop size";
  }
}

void AppendSubnegotiation(std::string& out, uint8_t command, std::initializer_list<uint8_t> value) {
  for (const uint8_t byte : {kIac, kSb, kComPort, command}) out += static_cast<char>(byte);
  for (const uint8_t byte : value) {
    out += static_cast<char>(byte);
    if (byte == kIac) out += static_cast<char>(kIac);
  }
  out += static_cast<char>(kIac);
  out += static_cast<char>(kSe);
}

}  // namespace

std::string_view TelnetOptionRequests() { return {kRequests, sizeof kRequests}; }

std::string ComPortLineRequests(const LineSettings& line) {
  const auto baud = static_cast<uint32_t>(line.baud);
  std::string out;
  AppendSubnegotiation(out, kSetBaudRate,
                       {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
                        static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)});
  AppendSubnegotiation(out, kSetDataSize, {line.dataBits});
  AppendSubnegotiation(out, kSetParity, {ParityCode(line.parity)});
  AppendSubnegotiation(out, kSetStopSize, {line.stopBits});
  AppendSubnegotiation(out, kSetControl, {kNoFlowControl});
  return out;
}

std::string RefusedPartOf(const ComPortAnswers& answers, const LineSettings& asked) {
  std::string refused;
  const auto add = [&refused](const std::string& part) { refused += (refused.empty() ? "" : ", ") + part; };
  if (answers.baud && *answers.baud != static_cast<uint32_t>(asked.baud)) add(std::to_string(*answers.baud) + " bit/s");
  if (answers.dataBits && *answers.dataBits != asked.dataBits) add(std::to_string(*answers.dataBits) + " data bits");
  if (answers.parity && *answers.parity != ParityCode(asked.parity)) add(ParityName(*answers.parity));
  if (answers.stopBits && *answers.stopBits != asked.stopBits) add(StopBitsName(*answers.stopBits));
  return refused.empty() ? refused : "the server answered " + refused;
}

TelnetReceiver::Step TelnetReceiver::Feed(std::span<const char> input, std::span<char> data) noexcept {
  Step step;
  while (step.consumed < input.size() && step.produced < data.size() && replyCount_ + 3 <= kReplyLimit) {
    const auto byte = static_cast<uint8_t>(input[step.consumed]);
    switch (state_) {
      case State::AfterCr:
        // Outside BINARY a server sends a lone CR as CR NUL.
        state_ = State::Data;
        if (byte == 0) {
          ++step.consumed;
          continue;
        }
        [[fallthrough]];
      case State::Data:
        if (byte == kIac) {
          state_ = State::Command;
        } else {
          data[step.produced++] = static_cast<char>(byte);
          if (byte == '\r' && !serverBinary_) state_ = State::AfterCr;
        }
        break;
      case State::Command:
        state_ = State::Data;
        if (byte == kIac) {
          data[step.produced++] = static_cast<char>(byte);
        } else if (byte >= kWill) {
          verb_ = byte;
          state_ = State::Option;
        } else if (byte == kSb) {
          subSize_ = 0;
          subTooLong_ = false;
          state_ = State::Subnegotiation;
        }  // NOP, GA and the other commands carry nothing for the reader
        break;
      case State::Option:
        state_ = State::Data;
        OnOption(verb_, byte);
        break;
      case State::Subnegotiation:
      case State::SubnegotiationIac:
        if (state_ == State::Subnegotiation && byte == kIac) {
          state_ = State::SubnegotiationIac;
          break;
        }
        if (state_ == State::SubnegotiationIac && byte == kSe) {
          state_ = State::Data;
          OnSubnegotiationEnd();
          break;
        }
        if (state_ == State::SubnegotiationIac && byte != kIac) {
          // A command inside a subnegotiation: the server cut it short.
          // Drop it and take the command as one.
          state_ = State::Command;
          continue;
        }
        state_ = State::Subnegotiation;
        if (subSize_ < sub_.size()) {
          sub_[subSize_++] = byte;
        } else {
          subTooLong_ = true;
        }
        break;
    }
    ++step.consumed;
  }
  return step;
}

void TelnetReceiver::Reply(uint8_t verb, uint8_t option) noexcept {
  replies_[replyCount_++] = static_cast<char>(kIac);
  replies_[replyCount_++] = static_cast<char>(verb);
  replies_[replyCount_++] = static_cast<char>(option);
}

void TelnetReceiver::OnOption(uint8_t verb, uint8_t option) noexcept {
  heardNegotiation_ = true;
  if (option == kBinary) {
    // Answers to the client's own requests: acknowledged by not replying.
    if (verb == kWill || verb == kWont) serverBinary_ = verb == kWill;
    return;
  }
  if (option == kComPort && (verb == kDo || verb == kDont)) return;
  // Refuse whatever else the server offers or asks; a refusal of something
  // the client never does needs no answer.
  if (verb == kWill) Reply(kDont, option);
  if (verb == kDo) Reply(kWont, option);
}

void TelnetReceiver::OnSubnegotiationEnd() noexcept {
  if (subTooLong_ || subSize_ < 2 || sub_[0] != kComPort) return;
  const std::span<const uint8_t> value(sub_.data() + 2, subSize_ - 2);
  switch (sub_[1]) {
    case kServerAnswer + kSetBaudRate:
      if (value.size() != 4) return;
      answers_.baud = static_cast<uint32_t>(value[0]) << 24 | static_cast<uint32_t>(value[1]) << 16 |
                      static_cast<uint32_t>(value[2]) << 8 | value[3];
      break;
    case kServerAnswer + kSetDataSize:
      if (value.size() != 1) return;
      answers_.dataBits = value[0];
      break;
    case kServerAnswer + kSetParity:
      if (value.size() != 1) return;
      answers_.parity = value[0];
      break;
    case kServerAnswer + kSetStopSize:
      if (value.size() != 1) return;
      answers_.stopBits = value[0];
      break;
    default:
      return;  // answers the reader does not depend on
  }
  ++answerCount_;
}

}  // namespace Rdr00800::detail
