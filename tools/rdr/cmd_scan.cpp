// rdr scan: reads the optical reader through the library, holding its port
// in a session (or, with --poll, polling it), and relays each code it reads
// to standard output or into an X11 window, until Ctrl-C or SIGTERM.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "code_splitter.h"
#include "command.h"
#include "credential_text.h"
#include "escapes.h"
#include "line_speed.h"
#include "output.h"
#include "rdr00800/Rdr00800.h"
#include "stop_signal.h"
#include "x11_delivery.h"

namespace rdr {
namespace {

// The handle the tool registers its relay window under.
constexpr uint32_t kRelayWindow = 1;
// Pause after a poll that could not reach the reader, so an absent reader
// costs no processor time and is found again within a fraction of a second.
constexpr uint32_t kRetryPauseMs = 250;
// The longest code relayed as one: the session's pieces are joined up to it.
// Longer ones go out in parts this long, with a line on standard error.
constexpr size_t kJoinedCodeLimit = 64 * 1024;

struct ScanOptions {
  std::string port;
  int32_t baud = 9600;
  int32_t type = 0;
  std::string to = "stdout";
  bool poll = false;
  int32_t intervalMs = 20;
  bool wholeSecond = false;
  bool noWait = false;
  bool quiet = false;
  // With a layout, each code is decoded and its `form` relayed instead.
  std::string layout;
  std::string format;
  std::string form = "code";
  int32_t repeatHoldMs = -1;  // -1: the layout's
};

// What the session splits codes by, and how long it holds repeats: an EM4100
// reader frames its codes with STX and ETX and repeats them while the card
// lies there.
Rdr00800::Framing FramingFor(const ScanOptions& options) {
  return options.layout == "em4100" ? Rdr00800::Framing::StxEtx : Rdr00800::Framing::LineEnds;
}
std::chrono::milliseconds RepeatHoldFor(const ScanOptions& options) {
  if (options.repeatHoldMs >= 0) return std::chrono::milliseconds(options.repeatHoldMs);
  return std::chrono::milliseconds(options.layout == "em4100" ? 1000 : 0);
}

// Turns each code into the chosen form of its best credential; a code that
// decodes to nothing, or whose parity fails, is no code.
class CredentialFilter {
 public:
  // Throws CommandError for an unknown layout, format or form.
  explicit CredentialFilter(const ScanOptions& options)
      : layout_(options.layout), format_(options.format), form_(options.form) {
    try {
      Rdr00800::DecodeCredentials({}, layout_, format_);
      // A credential of the catalogue's first format, to try the form on.
      const std::string sample = Rdr00800::EncodeCredential("H10301", 0, 0);
      Rdr00800::DecodeCredentials(sample, "hex40", "H10301").at(0).Form(form_);
    } catch (const std::invalid_argument& error) {
      throw CommandError(kExitBadArguments, error.what());
    }
  }

  // The form to relay, or why there is none.
  std::optional<std::string> Deliverable(const std::string& code, std::string& why) const {
    const std::vector<Rdr00800::Credential> credentials = Rdr00800::DecodeCredentials(code, layout_, format_);
    if (credentials.empty()) {
      why = "it decodes to no credential in layout " + layout_ + (format_.empty() ? "" : " with format " + format_);
      return std::nullopt;
    }
    const Rdr00800::Credential& best = credentials.front();
    if (best.parity == Rdr00800::ParityCheck::Failed) {
      why = ParityFailure(best);
      return std::nullopt;
    }
    return best.Form(form_);
  }

 private:
  std::string layout_;
  std::string format_;
  std::string form_;
};

// Collects the characters of one relayed code and prints it at its Return.
Rdr00800::WindowProc StdoutRelay(bool json) {
  // Shared, not captured by value: the registry may call a copy of the procedure.
  auto pending = std::make_shared<std::string>();
  return [json, pending](uint32_t message, uintptr_t wParam, intptr_t) -> intptr_t {
    std::string& code = *pending;
    if (message == Rdr00800::kWmChar) code += static_cast<char>(wParam);
    if (message != Rdr00800::kWmKeyDown || wParam != Rdr00800::kVkReturn) return 0;
    PrintCode(json, code);
    code.clear();
    return 0;
  };
}

std::optional<X11Delivery> DeliveryFor(const std::string& to) {
  if (to == "stdout") return std::nullopt;
  const std::string prefix = "x11:";
  if (to.compare(0, prefix.size(), prefix) != 0) {
    throw CommandError(kExitBadArguments, "--to takes stdout, x11:WINDOW_ID or x11:focused, not " + to);
  }
  const std::string window = to.substr(prefix.size());
  try {
    if (window == "focused") return X11Delivery(X11Delivery::Target::Focused, 0);
    size_t used = 0;
    const unsigned long id = std::stoul(window, &used, 0);
    if (used != window.size()) throw std::invalid_argument(window);
    return X11Delivery(X11Delivery::Target::Window, id);
  } catch (const X11Error& error) {
    throw CommandError(kExitWindowUnavailable, error.what());
  } catch (const std::logic_error&) {
    throw CommandError(kExitBadArguments, "x11: takes a window id (decimal or 0x...) or focused, not " + window);
  }
}

// What one poll, or one wait of a session, brought, handed from the reading
// thread to the main thread.
struct PollOutcome {
  std::string frame;
  Rdr00800::ReadStatus status = Rdr00800::ReadStatus::Ok;
  std::string message;
  std::string notice;  // a line for standard error about the code itself
};

// The reader as a person at the till sees it; one line each time it changes.
enum class ReaderState { Unknown, Connected, Absent, Busy, Denied, Unusable };

ReaderState StateOf(Rdr00800::ReadStatus status) {
  using Rdr00800::ReadStatus;
  switch (status) {
    case ReadStatus::Ok:
    case ReadStatus::NothingInTime:
    case ReadStatus::BadFrame:
      return ReaderState::Connected;
    case ReadStatus::Busy:
      return ReaderState::Busy;
    case ReadStatus::PermissionDenied:
      return ReaderState::Denied;
    case ReadStatus::NotASerialPort:
    case ReadStatus::LineRefused:
      return ReaderState::Unusable;
    case ReadStatus::NoSuchDevice:
    case ReadStatus::HungUp:
    case ReadStatus::IoError:
      break;
  }
  // An I/O error on a serial port that worked is a reader that went away.
  return ReaderState::Absent;
}

// Polls the optical reader without end and hands every outcome, frames or
// not, to `deliver` on the main thread. The library's scanner thread drops
// frames that do not begin with a letter or digit without a word, and keeps
// the reason of a failed poll on its own thread; this one lets the tool say both.
class Poller : public Rdr00800::TThread {
 public:
  explicit Poller(std::function<void(const PollOutcome&)> deliver) : TThread(true), deliver_(std::move(deliver)) {}
  ~Poller() override { TerminateAndWait(); }
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

 protected:
  void Execute() override {
    while (!Terminated()) {
      PollOutcome outcome;
      outcome.frame = Rdr00800::GetOpticalReaderValue();
      outcome.status = Rdr00800::LastReadStatus();
      outcome.message = LastReadMessage();
      Synchronize([&] { deliver_(outcome); });
      if (StateOf(outcome.status) != ReaderState::Connected) Sleep(kRetryPauseMs);
    }
  }

 private:
  std::function<void(const PollOutcome&)> deliver_;
};

// Holds the reader in a session and hands every code, and every change of the
// reader's status, to `deliver` on the main thread.
class SessionReader : public Rdr00800::TThread {
 public:
  SessionReader(const ScanOptions& options, std::function<void(const PollOutcome&)> deliver)
      : TThread(true),
        port_(options.port),
        baud_(options.baud),
        framing_(FramingFor(options)),
        repeatHold_(RepeatHoldFor(options)),
        deliver_(std::move(deliver)) {}
  ~SessionReader() override { TerminateAndWait(); }
  SessionReader(const SessionReader&) = delete;
  SessionReader& operator=(const SessionReader&) = delete;

 protected:
  void Execute() override {
    Rdr00800::ReaderSession session(port_, baud_);
    session.SetFraming(framing_);
    session.SetRepeatHold(repeatHold_);
    {
      std::lock_guard lock(sessionMutex_);
      session_ = &session;
    }
    std::optional<Rdr00800::ReadStatus> delivered;
    std::string deliveredMessage;
    std::string joined;  // the pieces of a long code so far
    bool overLimit = false;
    while (!Terminated()) {
      PollOutcome outcome;
      const std::optional<std::string> code = session.NextCode(std::chrono::milliseconds(kRetryPauseMs));
      outcome.status = session.Status();
      if (code) {
        joined += *code;
        const bool continues = session.CodeContinues();
        if (continues && joined.size() < kJoinedCodeLimit) continue;
        if (continues && !std::exchange(overLimit, true)) {
          outcome.notice = "a code longer than " + std::to_string(kJoinedCodeLimit) + " bytes: relayed in parts of " +
                           std::to_string(kJoinedCodeLimit) + " bytes";
        }
        if (!continues) overLimit = false;
        outcome.frame = std::exchange(joined, {});
      } else if (!joined.empty() && !session.CodeContinues()) {
        outcome.notice =
            "dropped the first " + std::to_string(joined.size()) + " bytes of a code the reader's failure cut short";
        joined.clear();
        overLimit = false;
      }
      // A reason that changes within one status (a server down, then the reader behind it unplugged) is news too.
      if (outcome.status != Rdr00800::ReadStatus::Ok || outcome.status != delivered) {
        outcome.message = InToolTerms(session.StatusMessage());
      }
      if (outcome.frame.empty() && outcome.notice.empty() && outcome.status == delivered &&
          outcome.message == deliveredMessage) {
        continue;
      }
      delivered = outcome.status;
      deliveredMessage = outcome.message;
      Synchronize([&] { deliver_(outcome); });
    }
    std::lock_guard lock(sessionMutex_);
    session_ = nullptr;
  }
  void TerminatedSet() override {
    std::lock_guard lock(sessionMutex_);
    if (session_) session_->Cancel();
  }

 private:
  std::string port_;
  int32_t baud_;
  Rdr00800::Framing framing_;
  std::chrono::milliseconds repeatHold_;
  std::function<void(const PollOutcome&)> deliver_;
  std::mutex sessionMutex_;
  Rdr00800::ReaderSession* session_ = nullptr;
};

void Report(const std::string& line) { std::fprintf(stderr, "rdr: %s\n", line.c_str()); }

// "left out of ABC: control characters \x02; bytes Windows-1252 leaves undefined \x81".
std::string LeftOutLine(const CodeSplitter::LeftOut& leftOut) {
  std::string controls;
  std::string undefined;
  for (const char byte : leftOut.bytes) (static_cast<unsigned char>(byte) < 0x80 ? controls : undefined) += byte;
  std::string line =
      "left out of " + (leftOut.code.empty() ? std::string("an empty line") : ShownCode(leftOut.code)) + ":";
  if (!controls.empty()) line += " control characters " + ShowEscapes(controls);
  if (!undefined.empty()) {
    line += std::string(controls.empty() ? "" : ";") + " bytes Windows-1252 leaves undefined " + ShowEscapes(undefined);
  }
  return line;
}

// Splits each frame into codes and types them into the relay window; says on
// standard error what it leaves out and how the reader's state changes. With
// `noWait`, the first poll that cannot reach the reader ends the scan. Main
// thread.
class Relay {
 public:
  // `reader`: the port as the person named it, with its device when that differs.
  Relay(const ScanOptions& options, std::string reader)
      : reader_(std::move(reader)),
        lastCharacterDropped_(options.type == 2),
        quiet_(options.quiet),
        noWait_(options.noWait) {
    if (!options.layout.empty()) credentials_.emplace(options);
  }

  void Take(const PollOutcome& outcome) {
    Follow(outcome);
    // A poll that read bytes has a message only when a NUL cut its frame short.
    if (outcome.status == Rdr00800::ReadStatus::Ok && !outcome.message.empty() && !quiet_) Report(outcome.message);
    const bool full = WarnIfFrameFilledTheRead(outcome.frame, lastCharacterDropped_, quiet_);
    Deliver(splitter_.Split(outcome.frame, full));
  }
  // A session's code: whole up to kJoinedCodeLimit, its line end already gone.
  void TakeCode(const PollOutcome& outcome) {
    if (outcome.status != lastStatus_ || outcome.message != lastMessage_) Follow(outcome);
    lastStatus_ = outcome.status;
    lastMessage_ = outcome.message;
    if (!outcome.notice.empty() && !quiet_) Report(outcome.notice);
    Deliver(splitter_.Split(outcome.frame, false));
  }
  // Delivers a code a full last frame left open.
  void Finish() { Deliver(splitter_.Split({}, false)); }
  // Set once a scan with --no-wait could not reach the reader.
  const std::optional<std::string>& Unreachable() const { return unreachable_; }

 private:
  void Follow(const PollOutcome& outcome) {
    const ReaderState state = StateOf(outcome.status);
    if (noWait_ && state != ReaderState::Connected) {
      unreachable_ = outcome.message;
      return;
    }
    // Within one state, a status that stays with new words is news too (a
    // server down, then the reader behind it unplugged: both no such device);
    // a status that follows from the last (hung up, then no such device) is not.
    const bool newReason = state == state_ && state != ReaderState::Connected && outcome.status == reasonStatus_ &&
                           outcome.message != reason_;
    reasonStatus_ = outcome.status;
    reason_ = outcome.message;
    if (state == state_ && !newReason) return;
    const ReaderState previous = std::exchange(state_, state);
    if (quiet_) return;
    switch (state) {
      case ReaderState::Connected:
        return Report("connected to " + reader_);
      case ReaderState::Absent:
        return Report((previous == ReaderState::Connected ? "disconnected: " : "waiting for the reader: ") +
                      outcome.message);
      case ReaderState::Busy:
        // A server's refusal already says busy.
        return Report((outcome.message.find("busy") == std::string::npos ? "busy: " : "") + outcome.message +
                      "; waiting for it to be free");
      case ReaderState::Denied:
        return Report("permission: " + outcome.message);
      case ReaderState::Unusable:
      case ReaderState::Unknown:
        return Report(outcome.message + "; trying again");
    }
  }

  void Deliver(const CodeSplitter::Result& result) {
    for (const auto& leftOut : result.leftOut) Report(LeftOutLine(leftOut));
    for (const auto& code : result.dropped) {
      Report("dropped " + ShownCode(code) + ": it does not begin with an ASCII letter or digit");
    }
    for (const auto& code : result.codes) {
      if (!credentials_) {
        Rdr00800::PostTextHandle(kRelayWindow, code);
        continue;
      }
      std::string why;
      if (const std::optional<std::string> form = credentials_->Deliverable(code, why)) {
        Rdr00800::PostTextHandle(kRelayWindow, *form);
      } else {
        Report("dropped " + ShowEscapes(code) + ": " + why);
      }
    }
  }

  std::string reader_;
  bool lastCharacterDropped_;
  bool quiet_;
  bool noWait_;
  ReaderState state_ = ReaderState::Unknown;
  // The status and message of the latest outcome.
  std::optional<Rdr00800::ReadStatus> reasonStatus_;
  std::string reason_;
  std::optional<Rdr00800::ReadStatus> lastStatus_;
  std::string lastMessage_;
  std::optional<std::string> unreachable_;
  std::optional<CredentialFilter> credentials_;
  CodeSplitter splitter_;
};

int RunScan(const ScanOptions& options, bool json) {
  RefuseMalformedNetworkPort(options.port);
  // One rule in both modes: the polls can only ask for a speed of the table.
  const int32_t speedIndex = SpeedIndex(options.baud);
  std::optional<X11Delivery> x11 = DeliveryFor(options.to);
  const std::string device = Rdr00800::PortDevicePath(options.port);
  // A port text that names no device never will: no use waiting for it.
  if (device.empty()) {
    Rdr00800::CheckPortOpens(options.port);
    throw CommandError(kExitDeviceUnavailable, LastReadMessage());
  }
  Rdr00800::RegisterWindow(kRelayWindow, x11 ? x11->WindowProcedure() : StdoutRelay(json));
  InstallStopSignals();

  Relay relay(options, device == options.port ? device : options.port + " (" + device + ")");
  std::unique_ptr<Rdr00800::TThread> reader;
  if (options.poll) {
    // The optical read takes its port from the table: with the person's own
    // text there, the library's messages name the port as they know it.
    Rdr00800::Portas[1] = options.port;
    Rdr00800::IdPortaOpt = 1;
    Rdr00800::IdVelocOpt = speedIndex;
    Rdr00800::IdTipoOpt = options.type;
    // At least three character times (ten bits each): on a slow line a shorter
    // interval would end polls between two characters of one code.
    const int32_t threeCharactersMs = (30000 + options.baud - 1) / options.baud;
    Rdr00800::ReadIntervalTimeoutMs = options.wholeSecond ? 0 : std::max(options.intervalMs, threeCharactersMs);
    if (IsNetworkPort(device) && !options.quiet) {
      Report(
          "a network reader's server keeps no bytes while no poll is connected, so codes sent between polls are "
          "lost; without --poll the scan holds the connection (hosts: the session, or ScannerHoldsPort)");
    }
    reader = std::make_unique<Poller>([&relay](const PollOutcome& outcome) { relay.Take(outcome); });
  } else {
    reader =
        std::make_unique<SessionReader>(options, [&relay](const PollOutcome& outcome) { relay.TakeCode(outcome); });
  }
  reader->Start();
  while (!StopRequested() && !reader->Finished() && !relay.Unreachable() && !(x11 && !x11->Error().empty())) {
    Rdr00800::CheckSynchronize(100);
  }
  // Waiting on the main thread serves the last read's relay, so no code is lost.
  reader->Terminate();
  reader->WaitFor();
  relay.Finish();
  const std::exception_ptr failure = reader->FatalException();
  reader.reset();
  Rdr00800::UnregisterWindow(kRelayWindow);
  if (relay.Unreachable()) throw CommandError(kExitDeviceUnavailable, *relay.Unreachable());
  if (x11 && !x11->Error().empty()) throw CommandError(kExitWindowUnavailable, x11->Error());
  if (failure) std::rethrow_exception(failure);
  return kExitOk;
}

}  // namespace

void AddScanCommand(CLI::App& app, CommandBody& body) {
  auto* scan = app.add_subcommand("scan", "Relay each code the optical reader sends until Ctrl-C or SIGTERM");
  scan->footer(
      "Holds the reader's port open and relays each code as its line end arrives, whole up to 64 KiB (--poll: "
      "one-shot polls of at most 51 bytes instead, as hosts of the library do by default). "
      "Splits what the reader sends into codes at CR, LF or CR LF; each code is one line, one JSON object, or typed "
      "followed by one Return. Control characters are never typed; they and codes that do not begin with a letter "
      "or digit are reported on standard error. Waits for a reader that is absent and carries on through unplug and "
      "replug, with one line on standard error for each change (waiting, connected, disconnected, busy, "
      "permission). With --layout, each code is decoded as a card and its --form relayed; a code that decodes to no "
      "card, or whose parity fails, is not relayed and is reported on standard error with the reason. --to "
      "x11:WINDOW_ID sends synthetic key events (XSendEvent), which "
      "some programs ignore; --to x11:focused types through XTest into the focused window, which they accept.");
  auto options = std::make_shared<ScanOptions>();
  scan->add_option("--port", options->port, kPortHelp)->required();
  scan->add_option("--baud", options->baud, "Line speed, one of the library's table (with or without --poll)")
      ->capture_default_str()
      ->check(LineSpeed());
  scan->add_flag("--poll", options->poll,
                 "Poll the port once per read (open, read at most 51 bytes, close) instead of holding it");
  auto* type = scan->add_option("--type", options->type,
                                "Optical reader type: 2 drops each frame's last character (implies --poll)")
                   ->capture_default_str();
  scan->add_option("--to", options->to, "stdout, x11:WINDOW_ID or x11:focused")->capture_default_str();
  auto* interval = scan->add_option("--interval", options->intervalMs,
                                    "A poll ends this many milliseconds after the reader's last byte (at least "
                                    "three character times at --baud; implies --poll)")
                       ->capture_default_str()
                       ->check(CLI::Range(1, 999));
  auto* wholeSecond =
      scan->add_flag("--whole-second", options->wholeSecond,
                     "Let every poll wait out its whole second, as hosts of the library do by default (implies --poll)")
          ->excludes(interval);
  scan->add_flag("--no-wait", options->noWait,
                 "Exit with code 3 when the reader cannot be reached, instead of waiting");
  scan->add_flag("--quiet", options->quiet,
                 "No line on standard error when the reader's state changes or a frame fills the read");
  auto* layout = scan->add_option("--layout", options->layout,
                                  "Decode each code as a card in this layout (hex40, hex, hex:N, packed, em4100; "
                                  "em4100 also takes STX/ETX frames and holds repeats for 1000 ms) and relay --form");
  scan->add_option("--format", options->format, "The card format (rdr formats), or auto; default: the layout's")
      ->needs(layout);
  scan->add_option("--form", options->form, "What to relay of the card: code, fc,cn, dez10, dez8, dez13 or hex")
      ->capture_default_str()
      ->needs(layout);
  auto* repeatHold = scan->add_option("--repeat-hold", options->repeatHoldMs,
                                      "Leave out a code equal to the one before it that arrives within this many "
                                      "milliseconds of it, so that a card held on the reader is one code")
                         ->check(CLI::Range(0, 3600000));
  const auto json = AddJsonFlag(*scan);
  // The options of the polling scan, older than the session, still choose it.
  scan->callback([&body, options, json, repeatHold, pollOptions = std::array{type, interval, wholeSecond}] {
    for (const CLI::Option* option : pollOptions) options->poll = options->poll || option->count() > 0;
    if (options->poll && (repeatHold->count() > 0 || options->layout == "em4100")) {
      throw CLI::ValidationError(repeatHold->count() > 0 ? "--repeat-hold" : "--layout",
                                 "em4100 frames and repeat holds need the held port, not polls");
    }
    body = [=] { return RunScan(*options, *json); };
  });
}

}  // namespace rdr
