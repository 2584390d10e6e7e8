#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace rdrtest {
namespace {

std::string Drain(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return text;
    text.append(buffer, static_cast<size_t>(got));
  }
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    for (const auto& entry : environment) ::putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  out_ = out[0];
  err_ = err[0];
}

ChildProcess::~ChildProcess() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    Wait();
  }
  ::close(out_);
  ::close(err_);
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds patience) {
  return NextLine(out_, pending_, patience);
}

std::optional<std::string> ChildProcess::ReadErrorLine(std::chrono::milliseconds patience) {
  return NextLine(err_, pendingError_, patience);
}

std::optional<std::string> ChildProcess::NextLine(int fd, std::string& pending, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    const size_t end = pending.find('\n');
    if (end != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[512];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    pending.append(buffer, static_cast<size_t>(got));
  }
}

void ChildProcess::Signal(int signal) {
  if (!status_) ::kill(pid_, signal);  // once reaped, the pid may be another process's
}

int ChildProcess::Wait() {
  if (status_) return *status_;
  int raw = 0;
  while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
  }
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return *status_;
}

std::string ChildProcess::RemainingOutput() { return std::exchange(pending_, {}) + Drain(out_); }

std::string ChildProcess::ErrorOutput() { return std::exchange(pendingError_, {}) + Drain(err_); }

RunResult RunRdr(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
  std::vector<std::string> argv{RDR_EXECUTABLE};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  ChildProcess child(argv, environment);
  // Reading both pipes to their end before waiting keeps a chatty child from blocking.
  std::string out = child.RemainingOutput();
  std::string err = child.ErrorOutput();
  const int code = child.Wait();
  return {code, std::move(out), std::move(err)};
}

}  // namespace rdrtest
