// A small host: simulates a proximity reader on a pseudo-terminal, maps it to
// COM1, reads one card through the library and prints what it decodes to.
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "rdr00800/Rdr00800.h"
#include "rdr00800/rdr00800.h"

int main() {
  int reader = -1;
  int device = -1;
  char devicePath[256] = {};
  termios raw{};
  cfmakeraw(&raw);
  if (openpty(&reader, &device, devicePath, &raw, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  Initialize();
  Rdr00800::SetPortDevice("COM1", devicePath);
  std::printf("simulated proximity reader on %s, mapped to COM1\n", devicePath);

  // The card: facility 123, number 45678, as a reader sends it.
  const std::string frame = "003DD93700\r\n";
  std::thread card([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (write(reader, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) std::perror("write");
  });
  const std::string code = Rdr00800::LeitorProximidade("2", "COM1", 9600);
  card.join();

  std::printf("card read on COM1 at %d baud: %s\n", Rdr00800::IdVelocProx.load(),
              code.empty() ? "(nothing)" : code.c_str());
  Finalize();
  close(device);
  close(reader);
  return code == "12345678" ? 0 : 1;
}
