// mosquitto, the MQTT broker, on a free loopback port for rdrd's tests and
// benchmarks (Linux). Main thread.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "support/test_kit.h"

namespace rdrtest {

class MosquittoBroker {
 public:
  // Starts mosquitto in the foreground on 127.0.0.1 with anonymous clients
  // and a persistence file in a directory of its own, and returns once it
  // listens. Throws std::runtime_error when it cannot.
  MosquittoBroker();
  // Stops it, if still running.
  ~MosquittoBroker();
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  uint16_t Port() const { return port_; }
  // Ends it with SIGTERM, on which it saves its sessions and retained
  // messages, and waits for it.
  void Stop();
  // Starts it again on the same port, with what it saved.
  void Start();

  static bool Installed();

 private:
  TempDir dir_{"rdr00800-mosquitto"};
  uint16_t port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace rdrtest
