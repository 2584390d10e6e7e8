#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/ser2net_server.h"

namespace rdrtest {

// From /proc/net/tcp, without connecting: a connection would make ser2net
// open the device.
bool ListeningOnLoopback(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X 00000000:0000 0A", port);
  for (std::string line; std::getline(table, line);) {
    if (line.find(wanted) != std::string::npos) return true;
  }
  return false;
}

pid_t StartLoopbackServer(const std::vector<std::string>& argv, const std::vector<uint16_t>& ports) {
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("cannot fork for " + argv.at(0));
  if (pid == 0) {
    // Their complaints about mDNS and the like are no part of any test.
    if (std::freopen("/dev/null", "w", stdout) && std::freopen("/dev/null", "w", stderr)) {
      std::vector<char*> args;
      for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
    }
    ::_exit(127);
  }
  // Waits for it to listen, or to end: a server ends at once on a configuration it refuses.
  while (!std::all_of(ports.begin(), ports.end(), ListeningOnLoopback)) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      throw std::runtime_error(argv[0] + " ended at start, status " + std::to_string(status));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pid;
}

uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    throw std::runtime_error("no free loopback port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

bool Ser2netServer::Installed() { return ::access("/usr/sbin/ser2net", X_OK) == 0; }

Ser2netServer::Ser2netServer(const std::string& device, const std::vector<std::string>& options)
    : telnetPort_(FreeLoopbackPort()) {
  while ((rawPort_ = FreeLoopbackPort()) == telnetPort_) {
  }
  const std::string config = (dir_.Path() / "ser2net.yaml").string();
  // nodelay: a refused client gets ser2net's line, then its close. With
  // Nagle's algorithm the line can wait for the acknowledgement of ser2net's
  // Telnet options, and its close, with the client's requests still unread,
  // resets the connection and drops the line: the client rightly sees a
  // connection closed without a word, now and then, where a test expects the
  // words.
  std::string optionLines;
  for (const std::string& option : options) optionLines += "    " + option + "\n";
  if (!optionLines.empty()) optionLines = "  options:\n" + optionLines;
  std::ofstream(config) << "connection: &rfc2217\n  accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1," << telnetPort_
                        << "\n  connector: serialdev," << device << ",9600n81,local\n"
                        << optionLines << "connection: &raw\n  accepter: tcp(nodelay),127.0.0.1," << rawPort_
                        << "\n  connector: serialdev," << device << ",9600n81,local\n"
                        << optionLines;
  pid_ = StartLoopbackServer({"/usr/sbin/ser2net", "-n", "-u", "-c", config}, {telnetPort_, rawPort_});
}

void Ser2netServer::Kill() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

// Not SIGTERM: ser2net then closes its device first, which can wait for
// ever on a pty whose other side is gone.
Ser2netServer::~Ser2netServer() { Kill(); }

}  // namespace rdrtest
