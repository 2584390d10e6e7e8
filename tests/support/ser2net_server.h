// ser2net, the serial device server, serving one device on loopback for the
// network reader's tests and benchmarks (Linux). Main thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_kit.h"

namespace rdrtest {

class Ser2netServer {
 public:
  // Starts ser2net in the foreground with a generated configuration serving
  // `device` through a telnet(rfc2217) accepter and a raw tcp accepter, each
  // on a free loopback port, and returns once both listen. Throws
  // std::runtime_error when it cannot. `options` go into both connections'
  // options map, one "name: value" a line ("chardelay: false").
  explicit Ser2netServer(const std::string& device, const std::vector<std::string>& options = {});
  // Kills it by its pid, if still running.
  ~Ser2netServer();
  Ser2netServer(const Ser2netServer&) = delete;
  Ser2netServer& operator=(const Ser2netServer&) = delete;

  std::string Rfc2217Path() const { return "rfc2217://127.0.0.1:" + std::to_string(telnetPort_); }
  std::string TcpPath() const { return "tcp://127.0.0.1:" + std::to_string(rawPort_); }
  // Kills it at once, connections and all, and waits for it to end.
  void Kill();

  // Whether the ser2net program is installed.
  static bool Installed();

 private:
  TempDir dir_{"rdr00800-ser2net"};
  uint16_t telnetPort_ = 0;
  uint16_t rawPort_ = 0;
  pid_t pid_ = -1;
};

// A loopback port nothing listens on at the moment of the call.
uint16_t FreeLoopbackPort();
// Whether something listens on 127.0.0.1:`port` at the moment of the call.
bool ListeningOnLoopback(uint16_t port);
// Starts `argv` (a server that stays in the foreground, its output
// discarded) and returns its pid once something listens on each of `ports`
// on 127.0.0.1. Throws std::runtime_error when it ends first.
pid_t StartLoopbackServer(const std::vector<std::string>& argv, const std::vector<uint16_t>& ports);

}  // namespace rdrtest
