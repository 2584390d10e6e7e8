#include "network/network_device.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <utility>

#include "decode/ascii_case.h"
#include "network/tcp_connection.h"
#include "network/telnet_com_port.h"
#include "runtime/trace.h"

namespace Rdr00800::detail {

namespace {

using Clock = std::chrono::steady_clock;

bool IsHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
}

bool IsIpv6Character(char c) {
  return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') || c == ':' || c == '.';
}

// What a server said before closing, fit for a message: the line without its
// end, other control bytes as '?'.
std::string QuotedLine(std::string_view text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  std::string quoted = "\"";
  for (const char c : text) quoted += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  return quoted + "\"";
}

// Whether `input` begins as a Telnet server's first words do: IAC and one of
// WILL, WONT, DO, DONT.
bool StartsWithNegotiation(std::span<const char> input) {
  return input.size() >= 2 && static_cast<uint8_t>(input[0]) == 0xFF && static_cast<uint8_t>(input[1]) >= 0xFB;
}

// "HOST:PORT" as a port text gives it, an IPv6 address in brackets.
std::string HostAndPort(const NetworkAddress& address) {
  const bool ipv6 = address.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

// How long a line that reads as a server's refusal waits for the close that
// follows it before it counts as a reader's code; the server closes at once.
constexpr std::chrono::milliseconds kRefusalCloseWait{100};

// The status a server's line before its close says: the port held by another
// client, or the device behind it missing; nullopt for any other text.
std::optional<ReadStatus> RefusalStatus(std::string_view text) {
  if (text.find("already in use") != std::string_view::npos) return ReadStatus::Busy;
  if (text.starts_with("Device open failure") && text.find("not found") != std::string_view::npos) {
    return ReadStatus::NoSuchDevice;
  }
  return std::nullopt;
}

// The reader on a connection: the Telnet receiver between the socket and the
// reader's bytes for rfc2217://, nothing for tcp://.
class NetworkDevice final : public DeviceBackend {
 public:
  NetworkDevice(NetworkAddress address, std::string path, std::unique_ptr<TcpConnection> connection,
                Clock::time_point connectStart)
      : address_(std::move(address)),
        path_(std::move(path)),
        connection_(std::move(connection)),
        firstReadStart_(connectStart),
        connectedAt_(connectStart) {}

  ~NetworkDevice() override {
    if (Tracing()) Trace(path_ + ": close the connection to " + connection_->PeerText());
  }

  bool Start() {
    if (Tracing()) {
      Trace(path_ + ": connected to " + connection_->PeerText() + " in " + MillisecondsSince(*firstReadStart_));
    }
    if (address_.protocol == NetworkProtocol::RawTcp) return true;
    return Send(TelnetOptionRequests(), Clock::now() + kReadTimeout);
  }

  std::optional<LineSettings> GetLineSettings() override { return line_; }

  bool SetLineSettings(const LineSettings& settings) override {
    if (!settings.Valid()) return Fail(ReadStatus::LineRefused, 0), false;
    line_ = settings;
    // A raw connection carries bytes only: the line is the server's.
    if (address_.protocol == NetworkProtocol::RawTcp) return true;
    asked_ = true;
    if (Tracing()) {
      Trace(path_ + ": negotiate BINARY, COM port " + std::to_string(settings.baud) + " bit/s, " +
            std::to_string(settings.dataBits) + " data bits, no flow control; reading without waiting for answers");
    }
    return Send(ComPortLineRequests(settings), Clock::now() + kReadTimeout);
  }

  bool SetQueueSizes(size_t, size_t) override { return true; }

  bool SetReadTimeout(std::chrono::milliseconds total, std::chrono::milliseconds interval) override {
    if (total <= std::chrono::milliseconds::zero() || interval < std::chrono::milliseconds::zero()) {
      return Fail(ReadStatus::LineRefused, 0), false;
    }
    readTimeout_ = total;
    readInterval_ = interval;
    return true;
  }

  std::optional<size_t> ReadOnce(std::span<char> buffer) override {
    // The first read's second began when connecting began.
    const Clock::time_point deadline =
        std::exchange(firstReadStart_, std::nullopt).value_or(Clock::now()) + readTimeout_;
    size_t count = 0;
    Clock::time_point lastByte{};
    for (;;) {
      const size_t before = count;
      if (!Pump(buffer, count)) return std::nullopt;
      if (count == buffer.size()) return count;
      if (count > before) lastByte = Clock::now();
      Clock::time_point until = deadline;
      if (count > 0 && readInterval_ > std::chrono::milliseconds::zero())
        until = std::min(until, lastByte + readInterval_);
      // Each Wait that ends is followed by one more Pump: a server that
      // refuses the connection sends its line and closes at once, and the
      // close must be seen before the line is taken for a frame.
      if (Clock::now() >= until) return count > 0 || !NeverAnsweredTelnet() ? std::optional(count) : std::nullopt;
      ConnectionError error;
      if (connection_->Wait(until, nullptr, error) == TcpConnection::Ready::Failed) return Failed(error);
    }
  }

  std::optional<size_t> ReadAvailable(std::span<char> buffer, std::chrono::milliseconds wait,
                                      const WakeSignal& wake) override {
    const Clock::time_point deadline = Clock::now() + wait;
    firstReadStart_.reset();
    size_t count = 0;
    for (;;) {
      if (!Pump(buffer, count)) return std::nullopt;
      if (count > 0) return HoldingBackRefusal(buffer, count, wake);
      ConnectionError error;
      const auto ready = connection_->Wait(deadline, &wake, error);
      if (ready == TcpConnection::Ready::Failed) return Failed(error);
      if (ready != TcpConnection::Ready::Readable) {
        // A session has no read to fail; the trace tells why nothing comes.
        if (!toldNoTelnet_ && Clock::now() - connectedAt_ >= kReadTimeout) NeverAnsweredTelnet();
        return 0;
      }
    }
  }

 private:
  bool Send(std::string_view bytes, Clock::time_point deadline) {
    ConnectionError error;
    if (connection_->Send(bytes, deadline, error)) return true;
    return Failed(error), false;
  }

  std::nullopt_t Failed(const ConnectionError& error) {
    return Fail(ReadStatus::IoError, error.systemError, error.text);
  }

  // Moves what has arrived into buffer[count..], through the Telnet receiver
  // for rfc2217://, without waiting. false once the connection failed, was
  // closed, or the server refused the line; the failure is recorded then.
  bool Pump(std::span<char> buffer, size_t& count) {
    for (;;) {
      while (begin_ < end_ && count < buffer.size()) {
        const std::span<const char> input(received_.data() + begin_, end_ - begin_);
        size_t taken = 0;
        size_t produced = 0;
        if (address_.protocol == NetworkProtocol::RawTcp) {
          if (delivered_ == 0 && StartsWithNegotiation(input)) {
            Fail(ReadStatus::NotASerialPort, 0,
                 "the server speaks Telnet (its first bytes negotiate options): name it rfc2217://" +
                     HostAndPort(address_));
            if (Tracing()) Trace(path_ + ": the first bytes are Telnet negotiation, not a reader's");
            return false;
          }
          taken = produced = std::min(input.size(), buffer.size() - count);
          std::memcpy(buffer.data() + count, input.data(), produced);
        } else {
          const auto step = telnet_.Feed(input, buffer.subspan(count));
          taken = step.consumed;
          produced = step.produced;
          if (!telnet_.Replies().empty()) {
            const bool sent = Send(telnet_.Replies(), Clock::now() + kReadTimeout);
            telnet_.ClearReplies();
            if (!sent) return false;
          }
        }
        begin_ += taken;
        count += produced;
        delivered_ += produced;
      }
      if (!AnswersAgree()) return false;
      if (count == buffer.size()) return true;
      // Never more than the reader's bytes still to take: what stays in the
      // socket is the next read's, as on a serial line.
      size_t got = 0;
      ConnectionError error;
      const auto received = connection_->Receive(
          std::span<char>(received_).first(std::min(received_.size(), buffer.size() - count)), got, error);
      switch (received) {
        case TcpConnection::Received::Bytes:
          begin_ = 0;
          end_ = got;
          continue;
        case TcpConnection::Received::Nothing:
          return true;
        case TcpConnection::Received::Closed:
          return Closed(std::string_view(buffer.data(), count), count);
        case TcpConnection::Received::Failed:
          return Failed(error), false;
      }
      return true;
    }
  }

  // Whether a Telnet connection's server has let a whole read pass without
  // negotiating anything: a raw TCP port, whose reader got the requests as
  // bytes. Traced once; recorded as the read's failure.
  bool NeverAnsweredTelnet() {
    if (address_.protocol == NetworkProtocol::RawTcp || telnet_.HeardNegotiation()) return false;
    const std::string said = "the server never answered Telnet within the second: for a raw TCP port, name it tcp://" +
                             HostAndPort(address_);
    if (Tracing() && !toldNoTelnet_) Trace(path_ + ": " + said);
    toldNoTelnet_ = true;
    Fail(ReadStatus::NothingInTime, 0, said);
    return true;
  }

  // Whether every answer of the server so far is the line asked for.
  bool AnswersAgree() {
    if (!asked_ || telnet_.AnswerCount() == answersChecked_) return true;
    answersChecked_ = telnet_.AnswerCount();
    const std::string refused = RefusedPartOf(telnet_.Answers(), line_);
    const ComPortAnswers& answers = telnet_.Answers();
    if (Tracing() && (!refused.empty() || (answers.baud && answers.dataBits && answers.parity && answers.stopBits))) {
      Trace(path_ + ": negotiate: " + (refused.empty() ? "the server set the line" : refused));
    }
    if (refused.empty()) return true;
    Fail(ReadStatus::LineRefused, 0, refused);
    return false;
  }

  // The first bytes of a connection, read while a reader is held, that say
  // what a server says when it refuses the connection are taken for a code
  // only if the close that follows such a line does not come.
  std::optional<size_t> HoldingBackRefusal(std::span<char> buffer, size_t count, const WakeSignal& wake) {
    if (delivered_ != count || !RefusalStatus(std::string_view(buffer.data(), count))) return count;
    ConnectionError error;
    if (connection_->Wait(Clock::now() + kRefusalCloseWait, &wake, error) == TcpConnection::Ready::Failed) {
      return Failed(error);
    }
    if (!Pump(buffer, count)) return std::nullopt;
    return count;
  }

  // The server closed the connection. When what it sent on this connection
  // is all in `text`, it is a server's refusal, not a frame.
  bool Closed(std::string_view text, size_t count) {
    if (text.empty() || delivered_ != count) {
      Fail(ReadStatus::HungUp, 0, connection_->PeerText() + " closed the connection");
      return false;
    }
    const std::string said = "the server said " + QuotedLine(text);
    const auto status = RefusalStatus(text);
    Fail(status.value_or(ReadStatus::IoError), 0, status ? said : said + " and closed the connection");
    return false;
  }

  NetworkAddress address_;
  std::string path_;
  std::unique_ptr<TcpConnection> connection_;
  std::optional<Clock::time_point> firstReadStart_;
  Clock::time_point connectedAt_;
  std::chrono::milliseconds readTimeout_ = kReadTimeout;
  std::chrono::milliseconds readInterval_{0};
  LineSettings line_;
  bool asked_ = false;
  TelnetReceiver telnet_;
  uint32_t answersChecked_ = 0;
  // Bytes received and not yet through the receiver: received_[begin_, end_).
  std::array<char, 256> received_{};
  size_t begin_ = 0;
  size_t end_ = 0;
  size_t delivered_ = 0;  // reader's bytes handed out since connecting
  bool toldNoTelnet_ = false;
};

}  // namespace

std::optional<NetworkAddress> ParseNetworkPath(std::string_view path, std::string& error) {
  NetworkAddress address;
  std::string_view rest = path;
  if (StartsWithIgnoringAsciiCase(rest, kRfc2217Scheme)) {
    rest.remove_prefix(kRfc2217Scheme.size());
  } else if (StartsWithIgnoringAsciiCase(rest, kTcpScheme)) {
    address.protocol = NetworkProtocol::RawTcp;
    rest.remove_prefix(kTcpScheme.size());
  } else {
    error = "begins with neither rfc2217:// nor tcp://";
    return std::nullopt;
  }
  std::string_view host;
  if (rest.starts_with('[')) {
    const size_t close = rest.find(']');
    host = rest.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
    if (close == std::string_view::npos || host.empty() || !std::all_of(host.begin(), host.end(), IsIpv6Character)) {
      error = "an IPv6 address goes in brackets, as [::1]";
      return std::nullopt;
    }
    rest.remove_prefix(close + 1);
  } else {
    host = rest.substr(0, rest.find(':'));
    if (host.empty() || !std::all_of(host.begin(), host.end(), IsHostCharacter)) {
      error = "no host: expected HOST:PORT, HOST a name, an IPv4 address or an IPv6 address in brackets";
      return std::nullopt;
    }
    rest.remove_prefix(host.size());
  }
  if (!rest.starts_with(':') || rest.size() == 1) {
    error = "no port: expected HOST:PORT with PORT from 1 to 65535";
    return std::nullopt;
  }
  const std::string_view digits = rest.substr(1);
  unsigned long port = 0;
  const auto [stop, problem] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  if (stop != digits.data() + digits.size() || (problem != std::errc() && problem != std::errc::result_out_of_range)) {
    error = "port " + QuotedLine(digits) + " is not a number from 1 to 65535";
    return std::nullopt;
  }
  if (problem == std::errc::result_out_of_range || port == 0 || port > 65535) {
    error = "port " + std::string(digits) + " is out of range 1-65535";
    return std::nullopt;
  }
  address.host = std::string(host);
  address.port = static_cast<uint16_t>(port);
  return address;
}

std::unique_ptr<DeviceBackend> OpenNetworkDevice(const std::string& path, DeviceFailure& failure) {
  const Clock::time_point start = Clock::now();
  std::string problem;
  auto address = ParseNetworkPath(path, problem);
  if (!address) {
    failure = {ReadStatus::NoSuchDevice, 0, "malformed network port: " + problem};
    return nullptr;
  }
  ConnectionError error;
  auto connection = TcpConnection::Connect(address->host, address->port, start + kReadTimeout, error);
  if (!connection) {
    failure = {ReadStatus::NoSuchDevice, error.systemError, error.text};
    if (Tracing()) Trace(path + ": connect: " + error.text);
    return nullptr;
  }
  auto device = std::make_unique<NetworkDevice>(std::move(*address), path, std::move(connection), start);
  if (!device->Start()) {
    failure = device->LastFailure();
    return nullptr;
  }
  return device;
}

}  // namespace Rdr00800::detail
