#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/mosquitto_broker.h"
#include "support/ser2net_server.h"

namespace rdrtest {

namespace {
constexpr const char* kProgram = "/usr/sbin/mosquitto";
}

bool MosquittoBroker::Installed() { return ::access(kProgram, X_OK) == 0; }

MosquittoBroker::MosquittoBroker() : port_(FreeLoopbackPort()) {
  const std::string directory = dir_.Path().string();
  // Run as root, mosquitto turns into its own user: the directory must let it write.
  std::filesystem::permissions(dir_.Path(), std::filesystem::perms::all);
  std::ofstream(dir_.Path() / "mosquitto.conf") << "listener " << port_ << " 127.0.0.1\n"
                                                << "allow_anonymous true\n"
                                                << "persistence true\n"
                                                << "persistence_location " << directory << "/\n"
                                                << "log_dest none\n";
  Start();
}

void MosquittoBroker::Start() {
  if (pid_ >= 0) return;
  const std::string config = (dir_.Path() / "mosquitto.conf").string();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("cannot fork for mosquitto");
  if (pid_ == 0) {
    if (std::freopen("/dev/null", "w", stdout) && std::freopen("/dev/null", "w", stderr)) {
      ::execl(kProgram, "mosquitto", "-c", config.c_str(), static_cast<char*>(nullptr));
    }
    ::_exit(127);
  }
  while (!ListeningOnLoopback(port_)) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("mosquitto ended at start, status " + std::to_string(status));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void MosquittoBroker::Stop() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

MosquittoBroker::~MosquittoBroker() { Stop(); }

}  // namespace rdrtest
