// How rdr prints: results as plain lines or as one JSON object per line, and
// a progress notice while a command waits longer than a second.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace rdr {

// One JSON object on one line, built field by field in the order given.
class JsonLine {
 public:
  // Device bytes: each byte is its Latin-1 character, so any frame survives
  // the trip through a JSON parser.
  JsonLine& Bytes(std::string_view key, std::string_view bytes);
  // Text that is already UTF-8 (messages, paths).
  JsonLine& Text(std::string_view key, std::string_view utf8);
  // Text in the library's code page, Windows-1252 (codes a scan relays).
  JsonLine& Cp1252(std::string_view key, std::string_view text);
  JsonLine& Number(std::string_view key, int64_t value);
  JsonLine& Flag(std::string_view key, bool value);
  JsonLine& Null(std::string_view key);
  // A value that is JSON already (an array or object built elsewhere).
  JsonLine& Json(std::string_view key, std::string_view json);
  std::string str() const { return body_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string body_ = "{";
};

// Writes `line` and a newline to standard output and flushes, so a script
// reading a pipe sees each result as it happens.
void PrintLine(const std::string& line);

// Prints one result: `fields` with --json, otherwise the result's bytes with
// their control bytes shown as escapes.
void PrintResult(bool json, const JsonLine& fields, std::string_view bytes);

// Prints one code a scan relayed (Windows-1252, without control characters):
// its characters in UTF-8 (€, É, ç), a backslash doubled; with --json as
// the object {"code": ...}.
void PrintCode(bool json, std::string_view code);
// A code as PrintCode shows it without --json.
std::string ShownCode(std::string_view code);

// A failure: "rdr: <what>" on standard error and, when main() saw --json,
// an object with `error` and `reason` on standard output. Returns `code`.
int Fail(int code, const std::string& what);
// Whether failures are also JSON objects; main() sets it before running a command.
void SetJsonFailures(bool json);
// Fail, then ends the process at once with `code`, running no destructors:
// for failures met where nothing can unwind (inside Xlib's I/O error
// handler, which must not return). Main thread.
[[noreturn]] void FailNow(int code, const std::string& what);

// While it exists, and only once a second has passed, shows "rdr: <what>"
// with a dot per further second on standard error, when that is a terminal.
// Ends the line when destroyed.
class WaitNotice {
 public:
  explicit WaitNotice(std::string what);
  ~WaitNotice();
  WaitNotice(const WaitNotice&) = delete;
  WaitNotice& operator=(const WaitNotice&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread ticker_;
};

}  // namespace rdr

namespace rdr {

// "rdr: <text>" on standard error when that is a terminal: progress for a
// person watching, kept out of scripts' way.
void ShowProgress(const std::string& text);

}  // namespace rdr

namespace rdr {

// When `frame` filled the whole read (51 bytes; 50 once the optical reader's
// type 2 dropped the last character), says on standard error that it may go
// on in the next poll, unless `quiet`, and returns true.
bool WarnIfFrameFilledTheRead(std::string_view frame, bool lastCharacterDropped, bool quiet = false);

}  // namespace rdr
