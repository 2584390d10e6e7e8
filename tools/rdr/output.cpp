#include "output.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "escapes.h"
#include "exit_codes.h"
#include "rdr00800/Rdr00800.h"

namespace rdr {
namespace {

void AppendEscaped(std::string& out, uint32_t codePoint) {
  static constexpr char kDigits[] = "0123456789abcdef";
  switch (codePoint) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  if (codePoint < 0x20 || (codePoint >= 0x7F && codePoint < 0xA0)) {
    out += "\\u00";
    out += kDigits[codePoint >> 4];
    out += kDigits[codePoint & 0xF];
  } else if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

void AppendQuoted(std::string& out, std::string_view text, bool latin1) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (!latin1 && byte >= 0x80) {
      out += c;  // part of a UTF-8 sequence, kept as it is
    } else {
      AppendEscaped(out, byte);
    }
  }
  out += '"';
}

}  // namespace

void JsonLine::Key(std::string_view key) {
  if (body_.size() > 1) body_ += ',';
  AppendQuoted(body_, key, false);
  body_ += ':';
}

JsonLine& JsonLine::Bytes(std::string_view key, std::string_view bytes) {
  Key(key);
  AppendQuoted(body_, bytes, true);
  return *this;
}

JsonLine& JsonLine::Json(std::string_view key, std::string_view json) {
  Key(key);
  body_ += json;
  return *this;
}

JsonLine& JsonLine::Text(std::string_view key, std::string_view utf8) {
  Key(key);
  AppendQuoted(body_, utf8, false);
  return *this;
}

JsonLine& JsonLine::Cp1252(std::string_view key, std::string_view text) {
  return Text(key, Rdr00800::Cp1252ToUtf8(std::string(text)));
}

JsonLine& JsonLine::Number(std::string_view key, int64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Flag(std::string_view key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

JsonLine& JsonLine::Null(std::string_view key) {
  Key(key);
  body_ += "null";
  return *this;
}

void PrintLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void PrintResult(bool json, const JsonLine& fields, std::string_view bytes) {
  PrintLine(json ? fields.str() : ShowEscapes(bytes));
}

std::string ShownCode(std::string_view code) {
  std::string shown;
  for (const char c : code) {
    shown += static_cast<unsigned char>(c) >= 0x80 ? Rdr00800::Cp1252ToUtf8(std::string(1, c)) : ShowEscapes({&c, 1});
  }
  return shown;
}

void PrintCode(bool json, std::string_view code) {
  PrintLine(json ? JsonLine().Cp1252("code", code).str() : ShownCode(code));
}

namespace {

bool jsonFailures = false;

// The "error" word of a JSON failure, for scripts that branch on it.
const char* ErrorName(int code) {
  switch (code) {
    case kExitBadArguments:
      return "bad_arguments";
    case kExitDeviceUnavailable:
      return "device_unavailable";
    case kExitNothingRead:
      return "nothing_read";
    case kExitNotDecrypted:
      return "not_decrypted";
    case kExitWindowUnavailable:
      return "window_unavailable";
    case kExitDatabaseUnavailable:
      return "database_unavailable";
    default:
      return "failed";
  }
}

}  // namespace

void SetJsonFailures(bool json) { jsonFailures = json; }

int Fail(int code, const std::string& what) {
  if (!what.empty()) std::fprintf(stderr, "rdr: %s\n", what.c_str());
  if (jsonFailures) PrintLine(JsonLine().Text("error", ErrorName(code)).Text("reason", what).str());
  return code;
}

void FailNow(int code, const std::string& what) {
  Fail(code, what);
  std::fflush(stderr);
  std::_Exit(code);
}

WaitNotice::WaitNotice(std::string what) {
  if (!::isatty(STDERR_FILENO)) return;
  ticker_ = std::thread([this, what = std::move(what)] {
    std::unique_lock lock(mutex_);
    bool shown = false;
    while (!done_.wait_for(lock, std::chrono::seconds(1), [this] { return finished_; })) {
      std::fputs(shown ? "." : ("rdr: " + what).c_str(), stderr);
      std::fflush(stderr);
      shown = true;
    }
    if (shown) std::fputc('\n', stderr);
  });
}

WaitNotice::~WaitNotice() {
  if (!ticker_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  done_.notify_one();
  ticker_.join();
}

}  // namespace rdr

namespace rdr {

void ShowProgress(const std::string& text) {
  if (::isatty(STDERR_FILENO)) std::fprintf(stderr, "rdr: %s\n", text.c_str());
}

}  // namespace rdr

namespace rdr {

bool WarnIfFrameFilledTheRead(std::string_view frame, bool lastCharacterDropped, bool quiet) {
  constexpr size_t kReadLimit = 51;
  if (frame.size() + (lastCharacterDropped ? 1 : 0) < kReadLimit) return false;
  if (!quiet)
    std::fputs("rdr: the frame filled all 51 bytes of the read; the frame may continue in the next poll\n", stderr);
  return true;
}

}  // namespace rdr
