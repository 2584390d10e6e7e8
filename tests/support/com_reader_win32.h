// A badge reader simulated on Windows. scripts/test_windows.sh joins COM1
// and COM2 through a pseudo-terminal pair: the library reads COM1, the test
// writes the reader's bytes into COM2.
#pragma once

#include <string_view>

#include "runtime/unique_handle_win32.h"

namespace rdrtest {

class ComReader {
 public:
  static constexpr const char* kLibraryPort = "COM1";

  // Opens the reader's side and reads away whatever an earlier test left on
  // the library's side. Fails the test when the ports are not set up.
  ComReader();

  // Queues bytes as the reader sending them.
  void Send(std::string_view bytes);

 private:
  Rdr00800::detail::UniqueHandle port_;
};

// True inside Wine, whose serial ports differ from Windows' in ways the tests
// must know about.
bool RunningUnderWine();

}  // namespace rdrtest
