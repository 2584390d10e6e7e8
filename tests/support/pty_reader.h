// A badge reader simulated on a pseudo-terminal: the library opens the
// subordinate side as its serial device, the test writes the reader's bytes
// to the controlling side.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "support/simulated_reader.h"

namespace rdrtest {

class PtyReader : public SimulatedReader {
 public:
  // Opens a pty pair in raw mode, so bytes queued before the library sets the
  // line arrive unchanged. With a non-empty `linkPath`, also a symlink to it.
  explicit PtyReader(std::string linkPath = {});
  ~PtyReader() override;

  // The device the library opens: the symlink when there is one.
  const std::string& DevicePath() const override { return linkPath_.empty() ? devicePath_ : linkPath_; }
  const std::string& SubordinatePath() const { return devicePath_; }

  void Send(std::string_view bytes) override;
  // Closes the controlling side, as a reader unplugged: reads on the device fail.
  void HangUp();
  // Reads out whatever is queued for the device and not yet read, also what
  // the kernel still has on its way there; the number of bytes dropped.
  size_t DropUnread();
  int ControllingFd() const { return controlling_; }

 private:
  int controlling_ = -1;
  int subordinate_ = -1;
  std::string devicePath_;
  std::string linkPath_;
};

// Descriptors open in this process (entries of /proc/self/fd).
int OpenDescriptorCount();

}  // namespace rdrtest
