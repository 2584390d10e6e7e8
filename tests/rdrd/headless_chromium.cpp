#include "headless_chromium.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

namespace rdrtest {

namespace {
struct CommandFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};
constexpr const char* kProgram = "/usr/bin/chromium";
constexpr std::chrono::seconds kAnswerPatience{15};
}  // namespace

bool HeadlessChromium::Installed() { return ::access(kProgram, X_OK) == 0; }

HeadlessChromium::HeadlessChromium() {
  int toBrowser[2];
  int fromBrowser[2];
  if (::pipe2(toBrowser, O_CLOEXEC) != 0 || ::pipe2(fromBrowser, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const std::string profile = "--user-data-dir=" + profile_.Path().string();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("cannot fork for chromium");
  if (pid_ == 0) {
    // A process group of its own, so that its helpers end with it.
    ::setpgid(0, 0);
    // Moved above 4 first: a pipe may already be 3 or 4, and dup2 onto
    // itself would keep its close-on-exec. dup2 clears it on the copies.
    const int commands = ::fcntl(toBrowser[0], F_DUPFD_CLOEXEC, 10);
    const int answers = ::fcntl(fromBrowser[1], F_DUPFD_CLOEXEC, 10);
    if (commands < 0 || answers < 0 || ::dup2(commands, 3) < 0 || ::dup2(answers, 4) < 0) ::_exit(127);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execl(kProgram, "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--remote-debugging-pipe", profile.c_str(), "about:blank", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(toBrowser[0]);
  ::close(fromBrowser[1]);
  commands_ = toBrowser[1];
  answers_ = fromBrowser[0];
}

HeadlessChromium::~HeadlessChromium() {
  ::close(commands_);
  ::close(answers_);
  // Its profile is thrown away: nothing to save, so no orderly shutdown to
  // wait for. The group holds its renderers and helpers.
  ::kill(-pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

nlohmann::json HeadlessChromium::Call(const std::string& method, nlohmann::json params, const std::string& session,
                                      std::chrono::milliseconds patience) {
  const int id = nextId_++;
  nlohmann::json command = {{"id", id}, {"method", method}, {"params", std::move(params)}};
  if (!session.empty()) command["sessionId"] = session;
  std::string message = command.dump();
  message.push_back('\0');
  for (size_t sent = 0; sent < message.size();) {
    const ssize_t wrote = ::write(commands_, message.data() + sent, message.size() - sent);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) throw std::runtime_error("chromium took no command");
    sent += static_cast<size_t>(wrote);
  }
  const auto deadline = std::chrono::steady_clock::now() + patience + kAnswerPatience;
  for (;;) {
    // Events come between the answers; only the answer to this command counts.
    for (size_t end; (end = received_.find('\0')) != std::string::npos;) {
      nlohmann::json answer = nlohmann::json::parse(received_.substr(0, end));
      received_.erase(0, end + 1);
      if (answer.value("id", 0) != id) continue;
      if (answer.contains("error")) throw CommandFailed(method + ": " + answer["error"].dump());
      return answer["result"];
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{answers_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) == 0) {
      throw std::runtime_error(method + ": no answer from chromium");
    }
    char buffer[65536];
    const ssize_t got = ::read(answers_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw std::runtime_error("chromium ended");
    received_.append(buffer, static_cast<size_t>(got));
  }
}

std::string HeadlessChromium::Open(const std::string& url) {
  const std::string target = Call("Target.createTarget", {{"url", "about:blank"}})["targetId"];
  const std::string session = Call("Target.attachToTarget", {{"targetId", target}, {"flatten", true}})["sessionId"];
  // Answered once the page's document is committed, so that what is
  // evaluated next runs in it, not in about:blank.
  const nlohmann::json navigated = Call("Page.navigate", {{"url", url}}, session);
  if (navigated.contains("errorText")) throw std::runtime_error(url + ": " + navigated["errorText"].get<std::string>());
  return session;
}

std::string HeadlessChromium::WaitFor(const std::string& session, const std::string& expression,
                                      const std::string& doneWhen, std::chrono::milliseconds patience) {
  // The page answers when a change of its document makes `doneWhen` hold, or
  // with the value it has when `patience` passed: no polling from here.
  const std::string watch =
      "new Promise((resolve) => {\n"
      "  const read = () => String(" +
      expression +
      ");\n"
      "  const done = (value) => (" +
      doneWhen +
      ");\n"
      "  const settled = () => { const value = read(); if (!done(value)) return false; resolve(value); return true; "
      "};\n"
      "  if (settled()) return;\n"
      "  const observer = new MutationObserver(() => { if (settled()) observer.disconnect(); });\n"
      "  observer.observe(document, {subtree: true, childList: true, characterData: true, attributes: true});\n"
      "  setTimeout(() => { observer.disconnect(); resolve(read()); }, " +
      std::to_string(patience.count()) +
      ");\n"
      "})";
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    try {
      const nlohmann::json result =
          Call("Runtime.evaluate", {{"expression", watch}, {"awaitPromise", true}, {"returnByValue", true}}, session,
               patience);
      if (result.contains("exceptionDetails")) throw std::runtime_error(expression + ": " + result.dump());
      return result["result"].value("value", "");
    } catch (const CommandFailed& failure) {
      // A document replaced while it was watched (the page navigated on its
      // own): watch the new one.
      if (std::string(failure.what()).find("context") == std::string::npos) throw;
      if (std::chrono::steady_clock::now() > deadline) throw;
    }
  }
}

}  // namespace rdrtest
