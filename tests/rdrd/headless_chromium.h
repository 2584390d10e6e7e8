// Debian's chromium, headless, driven through its DevTools protocol over a
// pipe (--remote-debugging-pipe: it reads commands on descriptor 3 and
// answers on 4, each message JSON ended by a NUL). Main thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

#include "support/test_kit.h"

namespace rdrtest {

class HeadlessChromium {
 public:
  // Starts it with a fresh profile and nothing of its own on the network.
  // Throws std::runtime_error when it cannot.
  HeadlessChromium();
  // Kills it by its pid and waits for it.
  ~HeadlessChromium();
  HeadlessChromium(const HeadlessChromium&) = delete;
  HeadlessChromium& operator=(const HeadlessChromium&) = delete;

  static bool Installed();

  // Opens `url` in a new tab; the session that talks to it. Returns once the
  // page's document is there (its scripts may still be running).
  std::string Open(const std::string& url);
  // The value of a JavaScript expression in the tab, as text, once
  // `doneWhen` (JavaScript over `value`) holds for it, or once `patience`
  // passed. Watches the document's changes; the expression should read the
  // document.
  std::string WaitFor(const std::string& session, const std::string& expression, const std::string& doneWhen,
                      std::chrono::milliseconds patience = std::chrono::seconds(10));

 private:
  // Sends a command and waits for its answer: at most `patience` beyond the
  // time any answer may take.
  nlohmann::json Call(const std::string& method, nlohmann::json params, const std::string& session = {},
                      std::chrono::milliseconds patience = {});

  TempDir profile_{"rdr00800-chromium"};
  pid_t pid_ = -1;
  int commands_ = -1;
  int answers_ = -1;
  int nextId_ = 1;
  std::string received_;
};

}  // namespace rdrtest
