#include "headless_chromium.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>
#include <vector>

namespace rdrtest {

namespace {
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
    // dup2 clears close-on-exec on the copies.
    if (::dup2(toBrowser[0], 3) < 0 || ::dup2(fromBrowser[1], 4) < 0) ::_exit(127);
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
  // SIGTERM first: it then ends its renderers and helpers itself.
  ::kill(-pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

nlohmann::json HeadlessChromium::Call(const std::string& method, nlohmann::json params, const std::string& session) {
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
  const auto deadline = std::chrono::steady_clock::now() + kAnswerPatience;
  for (;;) {
    // Events come between the answers; only the answer to this command counts.
    for (size_t end; (end = received_.find('\0')) != std::string::npos;) {
      nlohmann::json answer = nlohmann::json::parse(received_.substr(0, end));
      received_.erase(0, end + 1);
      if (answer.value("id", 0) != id) continue;
      if (answer.contains("error")) throw std::runtime_error(method + ": " + answer["error"].dump());
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
  const std::string target = Call("Target.createTarget", {{"url", url}})["targetId"];
  return Call("Target.attachToTarget", {{"targetId", target}, {"flatten", true}})["sessionId"];
}

std::string HeadlessChromium::WaitFor(const std::string& session, const std::string& expression,
                                      const std::function<bool(const std::string&)>& done,
                                      std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    const nlohmann::json result =
        Call("Runtime.evaluate", {{"expression", "String(" + expression + ")"}, {"returnByValue", true}}, session);
    const std::string value = result["result"].value("value", "");
    if (done(value) || std::chrono::steady_clock::now() > deadline) return value;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace rdrtest
