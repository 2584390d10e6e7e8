// The POSIX device layer on simulated readers: naming, exclusive hold, line
// setup, and the timing and failure rules of one read.
#include "device/device.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <future>
#include <stdexcept>
#include <thread>

#include "device/system_call_faults.h"
#include "rdr00800/Rdr00800.h"
#include "serial/serial_test_support.h"
#include "support/pty_reader.h"

namespace {

using namespace std::chrono_literals;
using Rdr00800::detail::DevicePathForName;
using Rdr00800::detail::InjectSystemCallFailure;
using Rdr00800::detail::SerialDevice;
using Rdr00800::detail::SystemCall;
using rdrtest::Elapsed;

// TIOCEXCL as the tty has it now (read through a descriptor of our own).
bool ExclusiveFlag(const std::string& path) {
  // Root opens past TIOCEXCL, so the probe works while the port is held.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    ADD_FAILURE() << "cannot open " << path;
    return false;
  }
  int exclusive = 0;
  EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
  ::close(fd);
  return exclusive != 0;
}

TEST(DeviceNaming, ResolvesPortTexts) {
  const std::pair<const char*, const char*> cases[] = {
      {"COM1:", "/dev/ttyS0"},
      {"com12:", "/dev/ttyS11"},
      {"cOm3:", "/dev/ttyS2"},
      {"COM100:", "/dev/ttyS99"},
      {"LPT1:", "/dev/lp0"},
      {"lpt1:", "/dev/lp0"},
      {"/dev/serial/by-id/usb-reader:", "/dev/serial/by-id/usb-reader"},
      {":", ""},
      {"", ""},
      {"COM0:", ""},
      {"COM01:", ""},
      {"COM:", ""},
      {"COM-1:", ""},
      {"COM+1:", ""},
      {"COM 1:", ""},
      {"COM1x:", ""},
      {"COM99999999999999999999:", ""},
      {"LPT2:", ""},
      {"LPT\x11:", ""},
      {"ttyS0:", ""},
      {"COM1::", ""},
  };
  for (const auto& [name, path] : cases) EXPECT_EQ(DevicePathForName(name), path) << "device name " << name;
}

TEST(DeviceNaming, MappingComesFirstIgnoresCaseAndCanBeRemoved) {
  Rdr00800::SetPortDevice("com3", "/dev/ttyUSB0");
  EXPECT_EQ(DevicePathForName("COM3:"), "/dev/ttyUSB0");
  Rdr00800::SetPortDevice("Reader", "/dev/ttyACM1");
  EXPECT_EQ(DevicePathForName("READER:"), "/dev/ttyACM1");
  Rdr00800::SetPortDevice("COM3", "");
  Rdr00800::SetPortDevice("reader", "");
  EXPECT_EQ(DevicePathForName("COM3:"), "/dev/ttyS2");
  EXPECT_EQ(DevicePathForName("READER:"), "");
}

TEST(DeviceNaming, PublicPortDevicePathNamesWhatTheReadersOpen) {
  EXPECT_EQ(Rdr00800::PortDevicePath("com2"), "/dev/ttyS1");
  EXPECT_EQ(Rdr00800::PortDevicePath("/dev/pts/7"), "/dev/pts/7");
  // The readers add the colon themselves, so a port text carrying one names nothing.
  EXPECT_EQ(Rdr00800::PortDevicePath("COM2:"), "");
  EXPECT_EQ(Rdr00800::PortDevicePath("PRINTER"), "");
  Rdr00800::SetPortDevice("Printer", "/dev/ttyUSB3");
  EXPECT_EQ(Rdr00800::PortDevicePath("PRINTER"), "/dev/ttyUSB3");
  Rdr00800::SetPortDevice("printer", "");
}

TEST(DeviceNaming, MappingMayChangeWhileAnotherThreadResolves) {
  std::atomic<bool> done{false};
  std::thread resolver([&] {
    while (!done) {
      const std::string path = DevicePathForName("COM4:");
      ASSERT_TRUE(path == "/dev/ttyS3" || path == "/dev/ttyUSB4") << path;
    }
  });
  for (int i = 0; i < 20000; ++i) Rdr00800::SetPortDevice("COM4", i % 2 ? "/dev/ttyUSB4" : "");
  done = true;
  resolver.join();
  Rdr00800::SetPortDevice("COM4", "");
}

class DeviceTest : public rdrtest::SerialTest {
 protected:
  DeviceTest() { Rdr00800::SetPortDevice(kPort, reader_.DevicePath()); }

  // Opens and sets up the simulated reader as the one-shot read does.
  SerialDevice OpenConfigured(int32_t baud = 9600, std::chrono::milliseconds timeout = 1000ms) {
    auto device = SerialDevice::Open("COM7:");
    if (!device) throw std::runtime_error("the simulated reader did not open");
    auto line = device->GetLineSettings();
    if (!line) throw std::runtime_error("the simulated reader reports no line");
    line->baud = baud;
    EXPECT_TRUE(device->SetLineSettings(*line));
    EXPECT_TRUE(device->SetReadTimeout(timeout));
    return std::move(*device);
  }

  std::string ReadFrame(SerialDevice& device) {
    std::array<char, 51> buffer{};
    const auto count = device.ReadOnce(buffer);
    return count ? std::string(buffer.data(), *count) : std::string("<failed>");
  }

  rdrtest::PtyReader reader_;
};

// ---- Exclusive hold ----

TEST_F(DeviceTest, SecondOpenerInThisProcessIsRefusedAndLeavesTheHoldersFlag) {
  auto holder = SerialDevice::Open("COM7:");
  ASSERT_TRUE(holder);
  EXPECT_TRUE(ExclusiveFlag(reader_.SubordinatePath()));
  EXPECT_FALSE(SerialDevice::Open("COM7:"));
  EXPECT_TRUE(ExclusiveFlag(reader_.SubordinatePath())) << "a refused opener cleared the holder's flag";
  holder.reset();
  EXPECT_FALSE(ExclusiveFlag(reader_.SubordinatePath())) << "the flag outlived the holder";
  EXPECT_TRUE(SerialDevice::Open("COM7:"));
}

// Runs `child` in a forked process and returns its exit status.
template <class Child>
int InChildProcess(Child&& child) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(child());
  int status = -1;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(DeviceTest, AnotherProcessIsRefusedEvenAsRoot) {
  ASSERT_EQ(::geteuid(), 0u) << "this check needs root, who passes TIOCEXCL";
  auto holder = SerialDevice::Open("COM7:");
  ASSERT_TRUE(holder);
  EXPECT_EQ(InChildProcess([] {
              if (SerialDevice::Open("COM7:")) return 1;
              return Rdr00800::GetProximidadeReaderValue("", "COM7", 9600).empty() ? 0 : 2;
            }),
            0);
  holder.reset();
  EXPECT_EQ(InChildProcess([] { return SerialDevice::Open("COM7:") ? 0 : 1; }), 0);
}

TEST_F(DeviceTest, PlainOpenByAnUnprivilegedProcessIsRefusedWhileHeld) {
  ASSERT_EQ(::chmod(reader_.SubordinatePath().c_str(), 0666), 0);
  const std::string path = reader_.SubordinatePath();
  const auto openAsNobody = [&path] {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 3;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) return 0;
    return errno == EBUSY ? 1 : 2;
  };
  {
    auto holder = SerialDevice::Open("COM7:");
    ASSERT_TRUE(holder);
    EXPECT_EQ(InChildProcess(openAsNobody), 1);
  }
  EXPECT_EQ(InChildProcess(openAsNobody), 0);
}

// ---- Line settings ----

TEST_F(DeviceTest, TransparentLineKeepsFlowControlAndSetsRate) {
  // Start from a cooked line with flow control, as a port left by a terminal
  // (and as Linux brings a port up: with IXON).
  const int probe = ::open(reader_.SubordinatePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(probe, 0);
  termios cooked{};
  ASSERT_EQ(::tcgetattr(probe, &cooked), 0);
  cooked.c_iflag = ICRNL | INLCR | ISTRIP | IXOFF | IXON | IXANY;
  cooked.c_oflag = OPOST | ONLCR;
  cooked.c_lflag = ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | ISIG | IEXTEN;
  cooked.c_cflag |= CSTOPB | CRTSCTS;
  ASSERT_EQ(::tcsetattr(probe, TCSANOW, &cooked), 0);

  // 0x13 and 0x11 are XOFF and XON: with IXON they vanished from frames.
  reader_.SendAfter(100ms,
                    "12345\r\n\x12\x03\x04\x7f\x16\xff AB\rCD\x13"
                    "EF\x11GH\n");
  EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("3", kPort, 19200),
            "12345\r\n\x12\x03\x04\x7f\x16\xff AB\rCD\x13"
            "EF\x11GH\n");

  pollfd echo{reader_.ControllingFd(), POLLIN, 0};
  EXPECT_EQ(::poll(&echo, 1, 0), 0) << "bytes were echoed back to the reader";
  termios after{};
  ASSERT_EQ(::tcgetattr(probe, &after), 0);
  ::close(probe);
  EXPECT_EQ(after.c_cflag & CSTOPB, tcflag_t{0});
  EXPECT_EQ(after.c_cflag & CRTSCTS, tcflag_t{CRTSCTS});
  EXPECT_EQ(after.c_iflag & IXOFF, tcflag_t{IXOFF});
  EXPECT_EQ(after.c_iflag & (IXON | IXANY), tcflag_t{0});
  EXPECT_EQ(::cfgetospeed(&after), speed_t{B19200});
  EXPECT_EQ(::cfgetispeed(&after), speed_t{B19200});
}

// A pty forces 8 data bits and no parity, so only rate and stop bits show.
TEST_F(DeviceTest, LineSettingsRoundTripIncludingRatesBeyondTheClassicCodes) {
  for (const int32_t baud : {110, 9600, 921600, 250000, 31250}) {
    auto device = SerialDevice::Open("COM7:");
    ASSERT_TRUE(device);
    auto line = device->GetLineSettings();
    ASSERT_TRUE(line);
    line->baud = baud;
    line->stopBits = 2;
    ASSERT_TRUE(device->SetLineSettings(*line)) << baud;
    const auto reported = device->GetLineSettings();
    ASSERT_TRUE(reported);
    EXPECT_EQ(reported->baud, baud);
    EXPECT_EQ(reported->stopBits, 2);
  }
}

TEST_F(DeviceTest, RefusesNonPositiveRatesAndLinesNeverRead) {
  auto device = SerialDevice::Open("COM7:");
  ASSERT_TRUE(device);
  // Without a line read first there is nothing to keep.
  EXPECT_FALSE(device->SetLineSettings({9600, 8, Rdr00800::detail::Parity::None, 1}));
  auto line = device->GetLineSettings();
  ASSERT_TRUE(line);
  // Rate 0 would drop the modem lines, a hang-up of the reader.
  for (const int32_t baud : {0, -9600}) {
    line->baud = baud;
    EXPECT_FALSE(device->SetLineSettings(*line)) << baud;
  }
}

// ---- One read ----

TEST_F(DeviceTest, ReadWaitsForTheWholeSecondCollectingPieces) {
  auto device = OpenConfigured();
  reader_.Send("abc");
  reader_.SendAfter(300ms, "def");
  std::string frame;
  const auto took = Elapsed([&] { frame = ReadFrame(device); });
  EXPECT_EQ(frame, "abcdef");
  EXPECT_GE(took, 1000ms - rdrtest::kTimerEarliness);
  EXPECT_LT(took, 3000ms);
}

TEST_F(DeviceTest, ReadReturnsAsSoonAsTheLimitArrives) {
  auto device = OpenConfigured();
  const std::string full(51, 'F');
  reader_.SendAfter(200ms, full);
  std::string frame;
  const auto took = Elapsed([&] { frame = ReadFrame(device); });
  EXPECT_EQ(frame, full);
  EXPECT_LT(took, 900ms);
}

TEST_F(DeviceTest, HangUpDuringTheReadFailsAtOnceWithoutAPartialFrame) {
  auto device = OpenConfigured();
  reader_.Send("12345");
  std::string frame;
  const auto took = Elapsed([&] {
    auto pending = std::async(std::launch::async, [&] { return ReadFrame(device); });
    std::this_thread::sleep_for(150ms);
    reader_.HangUp();
    frame = pending.get();
  });
  EXPECT_EQ(frame, "<failed>");
  EXPECT_LT(took, 900ms);
}

TEST_F(DeviceTest, ReadersUnpluggedDuringPollsLeaveNoDescriptor) {
  Rdr00800::GetProximidadeReaderValue("2", "COM99", 9600);  // lets one-time allocations happen first
  const int before = rdrtest::OpenDescriptorCount();
  for (int hangUp = 0; hangUp < 3; ++hangUp) {
    rdrtest::PtyReader unplugged;
    Rdr00800::SetPortDevice("COM9", unplugged.DevicePath());
    unplugged.Send("12");
    auto pending =
        std::async(std::launch::async, [] { return Rdr00800::GetProximidadeReaderValue("2", "COM9", 9600); });
    std::this_thread::sleep_for(30ms);
    unplugged.HangUp();
    EXPECT_EQ(pending.get(), "");
  }
  Rdr00800::SetPortDevice("COM9", "");
  EXPECT_EQ(rdrtest::OpenDescriptorCount(), before);
}

std::atomic<int> signalsCaught{0};
void CountSignal(int) { ++signalsCaught; }

TEST_F(DeviceTest, SignalsNeitherEndTheReadEarlyNorLoseBytes) {
  struct sigaction action {};
  action.sa_handler = CountSignal;  // no SA_RESTART: every wait is interrupted
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  auto device = OpenConfigured();
  const std::string bytes = "0123456789ABCDEFGHIJ";
  reader_.SendAfter(300ms, bytes);
  std::atomic<bool> reading{true};
  std::string frame;
  std::chrono::milliseconds took{};
  std::thread readerThread([&] {
    took = Elapsed([&] { frame = ReadFrame(device); });
    reading = false;
  });
  while (reading) {
    ::pthread_kill(readerThread.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(2ms);
  }
  readerThread.join();
  ::sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_EQ(frame, bytes);
  EXPECT_GE(took, 1000ms - rdrtest::kTimerEarliness);
  EXPECT_GT(signalsCaught.load(), 50);
}

TEST_F(DeviceTest, InterruptedSystemCallsAreRetried) {
  for (const SystemCall call : {SystemCall::Open, SystemCall::Lock, SystemCall::GetLine, SystemCall::SetLine,
                                SystemCall::Read, SystemCall::Wait}) {
    InjectSystemCallFailure(call, EINTR, 3);
    auto device = OpenConfigured();
    reader_.SendAfter(20ms, std::string(51, 'x'));
    EXPECT_EQ(ReadFrame(device), std::string(51, 'x')) << "system call " << static_cast<int>(call);
  }
}

TEST_F(DeviceTest, FailuresEndTheStepAndStillReleaseThePort) {
  InjectSystemCallFailure(SystemCall::SetLine, EINVAL);
  {
    auto device = SerialDevice::Open("COM7:");
    ASSERT_TRUE(device);
    auto line = device->GetLineSettings();
    ASSERT_TRUE(line);
    line->baud = 9600;
    EXPECT_FALSE(device->SetLineSettings(*line));
  }
  EXPECT_FALSE(ExclusiveFlag(reader_.SubordinatePath()));

  InjectSystemCallFailure(SystemCall::Read, EIO);
  {
    auto device = OpenConfigured();
    reader_.Send("123");
    EXPECT_EQ(ReadFrame(device), "<failed>");
  }
  EXPECT_FALSE(ExclusiveFlag(reader_.SubordinatePath()));

  InjectSystemCallFailure(SystemCall::Lock, EWOULDBLOCK);
  EXPECT_FALSE(SerialDevice::Open("COM7:"));
  EXPECT_FALSE(ExclusiveFlag(reader_.SubordinatePath()));
}

}  // namespace
