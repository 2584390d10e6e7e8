#include "rdrd_process.h"

#include <signal.h>

#include <fstream>
#include <stdexcept>

#include "support/ser2net_server.h"

namespace rdrtest {

const char* RdrdExecutable() { return RDRD_EXECUTABLE; }

RdrdProcess::RdrdProcess(const std::string& configuration) : port_(FreeLoopbackPort()) {
  const std::string file = PathOf("rdrd.toml");
  std::ofstream(file) << "listen = [\"127.0.0.1:" << port_ << "\"]\n" << configuration;
  process_ = std::make_unique<ChildProcess>(std::vector<std::string>{RDRD_EXECUTABLE, "--config", file});
  const std::string listening = "listening on 127.0.0.1:" + std::to_string(port_);
  std::string said;
  while (const auto line = process_->ReadErrorLine()) {
    if (line->find(listening) != std::string::npos) return;
    said += *line + "\n";
  }
  throw std::runtime_error("rdrd did not start: " + said + process_->ErrorOutput());
}

RdrdProcess::~RdrdProcess() {
  process_->Signal(SIGTERM);
  process_->Wait();
}

}  // namespace rdrtest
