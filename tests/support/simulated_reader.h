// A badge reader the library reaches through a port name, simulated: a
// pseudo-terminal on POSIX, on Windows the COM1/COM2 pair test_windows.sh
// sets up. Tests that behave alike on both platforms use only this.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace rdrtest {

class SimulatedReader {
 public:
  // The bytes one read of the library takes at most; a read that gets fewer
  // waits out its whole second.
  static constexpr size_t kReadLimit = 51;

  virtual ~SimulatedReader() = default;
  SimulatedReader(const SimulatedReader&) = delete;
  SimulatedReader& operator=(const SimulatedReader&) = delete;

  // The device to give SetPortDevice so that a port text reaches this reader.
  virtual const std::string& DevicePath() const = 0;
  // Queues bytes as the reader sending them.
  virtual void Send(std::string_view bytes) = 0;

  // Sends `frame` padded with NULs to a whole read, so the read returns at
  // once while the library's frame still ends with `frame`.
  void SendWholeRead(std::string_view frame) {
    std::string padded(frame);
    if (padded.size() < kReadLimit) padded.resize(kReadLimit, '\0');
    Send(padded);
  }
  // Sends from a background thread after `delay`, so the bytes arrive on a
  // line the library has already set up; joined by the destructor.
  void SendAfter(std::chrono::milliseconds delay, std::string bytes) {
    JoinSender();
    sender_ = std::thread([this, delay, bytes = std::move(bytes)] {
      std::this_thread::sleep_for(delay);
      Send(bytes);
    });
  }

 protected:
  SimulatedReader() = default;
  // Derived destructors call this first: the sender uses their Send. Inline,
  // so that pty_reader.cpp stays usable on its own (benchmarks compile it).
  void JoinSender() {
    if (sender_.joinable()) sender_.join();
  }

 private:
  std::thread sender_;
};

// A fresh reader. On Windows there is only one: create one at a time.
std::unique_ptr<SimulatedReader> NewSimulatedReader();

// Handles open in this process (descriptors on POSIX), to find leaks.
int OpenHandleCount();

// False where a second open of a held port goes through (Wine's serial ports).
bool PortsAreExclusive();

// The system error a read fails with when its reader hangs up, for injecting
// that failure.
int HangUpError();

}  // namespace rdrtest
