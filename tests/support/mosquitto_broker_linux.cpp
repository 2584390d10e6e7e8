#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

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
  pid_ = StartLoopbackServer({kProgram, "-c", (dir_.Path() / "mosquitto.conf").string()}, {port_});
}

void MosquittoBroker::Stop() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

MosquittoBroker::~MosquittoBroker() { Stop(); }

}  // namespace rdrtest
