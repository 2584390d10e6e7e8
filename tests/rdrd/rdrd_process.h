// rdrd started for a test or a benchmark, on a free loopback port. Main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "support/test_kit.h"
#include "tools/child_process.h"

namespace rdrtest {

class RdrdProcess {
 public:
  // Writes `configuration` (TOML, without listen, which is added) to a file
  // and starts rdrd on it; returns once it listens. Throws
  // std::runtime_error with what it said when it does not.
  explicit RdrdProcess(const std::string& configuration);
  // SIGTERM, and waits for its end.
  ~RdrdProcess();
  RdrdProcess(const RdrdProcess&) = delete;
  RdrdProcess& operator=(const RdrdProcess&) = delete;

  uint16_t Port() const { return port_; }
  ChildProcess& Process() { return *process_; }
  // A file in its directory, for tokens and pages beside the configuration.
  std::string PathOf(const std::string& name) const { return (dir_.Path() / name).string(); }

 private:
  TempDir dir_{"rdr00800-rdrd"};
  uint16_t port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

// The rdrd and rdr executables of this build.
const char* RdrdExecutable();

}  // namespace rdrtest
