// Programs the end-to-end tests start: rdr itself, its simulator, Xvfb and
// the test window.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace rdrtest {

class ChildProcess {
 public:
  // Starts argv[0] with standard output and error on pipes; `environment`
  // entries ("NAME=value") are added to this process's environment.
  explicit ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});
  // A child still running is killed and reaped.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line of standard output, without its newline; nullopt when
  // none comes within `patience` or the output ended.
  std::optional<std::string> ReadLine(std::chrono::milliseconds patience = std::chrono::seconds(10));
  // The same for standard error.
  std::optional<std::string> ReadErrorLine(std::chrono::milliseconds patience = std::chrono::seconds(10));
  int Pid() const { return pid_; }
  // Sends `signal` while the child has not been reaped.
  void Signal(int signal);
  // Waits for the end; the exit status, or 128 + signal.
  int Wait();
  // Everything left on standard output and error (after Wait).
  std::string RemainingOutput();
  std::string ErrorOutput();

 private:
  std::optional<std::string> NextLine(int fd, std::string& pending, std::chrono::milliseconds patience);

  int pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string pending_;
  std::string pendingError_;
  std::optional<int> status_;
};

struct RunResult {
  int exitCode;
  std::string out;
  std::string err;
};

// Runs rdr with `arguments` to its end.
RunResult RunRdr(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {});

}  // namespace rdrtest
