// Why a read gave nothing, over the causes a real port shows: each is made
// for real (a missing node, a directory, /dev/null, a user without access, a
// second process holding the port, a reader unplugged mid-read) and the read
// must name it in its status and its message.
#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "device/device.h"
#include "device/system_call_faults.h"
#include "rdr00800/Rdr00800.h"
#include "rdr00800/rdr00800.h"
#include "serial_test_support.h"
#include "support/pty_reader.h"

namespace {

using namespace std::chrono_literals;
using Rdr00800::ReadStatus;

constexpr uid_t kNobody = 65534;

struct Result {
  ReadStatus status = ReadStatus::Ok;
  std::string message;
  std::string frame;
};

// One proximity read of `port`, here or, with `dropToNobody`, in a child
// process running as user nobody; its status and message as that process saw
// them.
Result ReadPort(const std::string& port, bool dropToNobody) {
  const auto read = [&port] {
    Result result;
    result.frame = Rdr00800::GetProximidadeReaderValue("2", port, 9600);
    result.status = Rdr00800::LastReadStatus();
    result.message = Rdr00800::LastReadMessage();
    return result;
  };
  if (!dropToNobody) return read();
  std::array<int, 2> pipe{};
  if (::pipe(pipe.data()) != 0) throw std::runtime_error("pipe");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe[0]);
    if (::setgid(kNobody) != 0 || ::setgroups(0, nullptr) != 0 || ::setuid(kNobody) != 0) ::_exit(2);
    const Result result = read();
    const auto status = static_cast<int32_t>(result.status);
    const bool written =
        ::write(pipe[1], &status, sizeof status) == sizeof status &&
        ::write(pipe[1], result.message.data(), result.message.size()) == static_cast<ssize_t>(result.message.size());
    ::_exit(written ? 0 : 1);
  }
  ::close(pipe[1]);
  int32_t status = -1;
  std::string message;
  if (::read(pipe[0], &status, sizeof status) != sizeof status) status = -1;
  char buffer[512];
  for (ssize_t got; (got = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
    message.append(buffer, static_cast<size_t>(got));
  ::close(pipe[0]);
  int exit = -1;
  ::waitpid(pid, &exit, 0);
  EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << "the child as nobody failed";
  return {static_cast<ReadStatus>(status), message, ""};
}

// A second process holding `port` until destroyed: as a reader would, or,
// with `flagOnly`, as a program that sets TIOCEXCL and takes no lock.
class HeldInAnotherProcess {
 public:
  explicit HeldInAnotherProcess(const std::string& port, bool flagOnly = false) {
    std::array<int, 2> ready{}, release{};
    if (::pipe(ready.data()) != 0 || ::pipe(release.data()) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      const std::string path = Rdr00800::PortDevicePath(port);
      const int fd = flagOnly ? ::open(path.c_str(), O_RDWR | O_NOCTTY) : -1;
      auto device = flagOnly ? std::nullopt : Rdr00800::detail::SerialDevice::Open(port + ":");
      const char held = device || (fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0) ? 'y' : 'n';
      if (::write(ready[1], &held, 1) != 1) ::_exit(1);
      char ignored;
      ::read(release[0], &ignored, 1);  // returns when the parent closes its end
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_ = release[1];
    char held = 'n';
    if (::read(ready[0], &held, 1) != 1 || held != 'y') ADD_FAILURE() << "the second process could not hold " << port;
    ::close(ready[0]);
  }
  ~HeldInAnotherProcess() {
    ::close(release_);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t Pid() const { return pid_; }
  // As the system shows it: the first 15 bytes of the program's name.
  std::string Name() const { return std::filesystem::read_symlink("/proc/self/exe").filename().string().substr(0, 15); }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
};

class ReadStatusTest : public rdrtest::SerialTest {
 protected:
  ReadStatusTest() { Rdr00800::SetPortDevice(kPort, reader_.DevicePath()); }
  rdrtest::PtyReader reader_;
};

TEST_F(ReadStatusTest, EachCauseHasItsStatusAndMessage) {
  ASSERT_EQ(::geteuid(), 0u) << "the permission case drops from root to nobody";
  const std::string directory = std::filesystem::temp_directory_path().string();
  const std::string pty = reader_.SubordinatePath();
  const std::string com7 = std::string(kPort) + " (" + pty + ")";
  std::unique_ptr<HeldInAnotherProcess> holder;
  std::thread unplug;
  struct Case {
    const char* cause;
    std::string port;
    std::function<void()> arrange;
    bool asNobody;
    ReadStatus status;
    std::string message;
    std::string frame = "";
  };
  const Case cases[] = {
      {"missing", "COM8", [] { Rdr00800::SetPortDevice("COM8", "/dev/ttyNoSuchReader"); }, false,
       ReadStatus::NoSuchDevice, "COM8 (/dev/ttyNoSuchReader): no such device (No such file or directory)"},
      {"COMn with no device", "COM99", [] {}, false, ReadStatus::NoSuchDevice,
       "COM99 (/dev/ttyS98): no such device (No such file or directory); map it with SetPortDevice or use a /dev "
       "path"},
      {"names no device", "COM0", [] {}, false, ReadStatus::NoSuchDevice,
       "COM0 names no device: map it with SetPortDevice or use a /dev path"},
      {"directory", directory, [] {}, false, ReadStatus::NotASerialPort, directory + ": not a serial port"},
      {"/dev/null", "/dev/null", [] {}, false, ReadStatus::NotASerialPort, "/dev/null: not a serial port"},
      {"no permission", kPort, [&] { ASSERT_EQ(::chmod(pty.c_str(), 0600), 0); }, true, ReadStatus::PermissionDenied,
       com7 + ": permission denied"},
      {"no permission, a group has it", kPort,
       [&] {
         const group* dialout = ::getgrnam("dialout");
         ASSERT_NE(dialout, nullptr);
         ASSERT_EQ(::chown(pty.c_str(), 0, dialout->gr_gid), 0);
         ASSERT_EQ(::chmod(pty.c_str(), 0660), 0);
       },
       true, ReadStatus::PermissionDenied,
       com7 + ": permission denied; the device belongs to group dialout: add the user to it"},
      {"busy", kPort, [&] { holder = std::make_unique<HeldInAnotherProcess>(kPort); }, false, ReadStatus::Busy, "held"},
      // Nobody may not look into root's descriptors, so the holder stays unnamed.
      {"busy, holder not visible", kPort,
       [&] {
         ASSERT_EQ(::chmod(pty.c_str(), 0666), 0);
         holder = std::make_unique<HeldInAnotherProcess>(kPort, true);
       },
       true, ReadStatus::Busy,
       com7 + ": held by another program, or by none: no lock and no process this user may inspect has it open; an "
              "exclusive flag left set by a program that ended refuses the open too, and opening and closing the "
              "device as root, or replugging the reader, clears it"},
      {"nothing in time", kPort, [] {}, false, ReadStatus::NothingInTime, com7 + ": nothing arrived within the second"},
      {"ok", kPort, [&] { reader_.SendWholeRead("12345\r\n"); }, false, ReadStatus::Ok, "", "12345\r\n"},
      // A frame cut to nothing at its first NUL still means the reader answered.
      {"ok, cut at a NUL", kPort, [&] { reader_.SendWholeRead(""); }, false, ReadStatus::Ok, ""},
      // Last: the reader stays unplugged.
      {"hang-up mid-read", kPort,
       [&] {
         reader_.Send("AB");
         unplug = std::thread([&] {
           std::this_thread::sleep_for(200ms);
           reader_.HangUp();
         });
       },
       false, ReadStatus::HungUp, com7 + ": the reader went away during the read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cause);
    c.arrange();
    const Result result = ReadPort(c.port, c.asNobody);
    std::string message = c.message;
    if (holder && message == "held")
      message = com7 + ": held by process " + std::to_string(holder->Pid()) + " (" + holder->Name() + ")";
    holder.reset();
    if (unplug.joinable()) unplug.join();
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.frame, c.frame);
    EXPECT_EQ(result.message, message);
  }
  Rdr00800::SetPortDevice("COM8", "");
}

TEST_F(ReadStatusTest, RefusedLinesAndOtherErrors) {
  using Rdr00800::detail::InjectSystemCallFailure;
  using Rdr00800::detail::SystemCall;
  const std::string com7 = std::string(kPort) + " (" + reader_.SubordinatePath() + "): ";
  struct Case {
    const char* cause;
    std::function<std::string()> read;
    ReadStatus status;
    std::string message;
  };
  const auto proximity = [](int32_t baud) {
    return [baud] { return Rdr00800::GetProximidadeReaderValue("2", kPort, baud); };
  };
  const auto optical = [] {
    try {
      return Rdr00800::GetOpticalReaderValue();
    } catch (const std::invalid_argument&) {
      return std::string();
    }
  };
  const Case cases[] = {
      {"speed 0", proximity(0), ReadStatus::LineRefused,
       com7 + "the device refused the line at 0 bit/s, 8 data bits, no parity, 1 stop bit"},
      {"line refused",
       [&] {
         InjectSystemCallFailure(SystemCall::SetLine, EINVAL);
         return proximity(9600)();
       },
       ReadStatus::LineRefused,
       com7 + "the device refused the line at 9600 bit/s, 8 data bits, no parity, 1 stop bit (Invalid argument)"},
      {"read error",
       [&] {
         InjectSystemCallFailure(SystemCall::Read, EPROTO);
         return proximity(9600)();
       },
       ReadStatus::IoError, com7 + "input/output error (Protocol error)"},
      {"speed text",
       [&] {
         Rdr00800::Velocidades[5] = "fast";
         return optical();
       },
       ReadStatus::LineRefused, com7 + "speed is not a number: 'fast'"},
      {"port outside the table",
       [&] {
         Rdr00800::IdPortaOpt = 14;
         return optical();
       },
       ReadStatus::NoSuchDevice, "IdPortaOpt 14 lies outside Portas"},
  };
  Rdr00800::IdPortaOpt = 7;
  Rdr00800::IdVelocOpt = 5;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cause);
    EXPECT_EQ(c.read(), "");
    EXPECT_EQ(Rdr00800::LastReadStatus(), c.status);
    EXPECT_EQ(Rdr00800::LastReadMessage(), c.message);
  }
}

TEST_F(ReadStatusTest, CheckPortOpensAsAPollWouldWithoutReading) {
  reader_.Send("kept");
  struct Case {
    std::string port;
    ReadStatus status;
  };
  for (const Case& c : {Case{kPort, ReadStatus::Ok}, Case{"/dev/null", ReadStatus::NotASerialPort},
                        Case{"COM0", ReadStatus::NoSuchDevice}}) {
    EXPECT_EQ(Rdr00800::CheckPortOpens(c.port), c.status) << c.port;
    EXPECT_EQ(Rdr00800::LastReadStatus(), c.status) << c.port;
  }
  {
    HeldInAnotherProcess holder(kPort);
    EXPECT_EQ(Rdr00800_CheckPortOpens(kPort), RDR00800_READ_BUSY);
  }
  // Nothing was read, and the port was let go.
  reader_.Send(std::string(47, '\0'));
  EXPECT_EQ(Rdr00800::GetProximidadeReaderValue("2", kPort, 9600), "kept");
}

TEST_F(ReadStatusTest, StatusIsPerThreadAndTheCEntriesGiveTheSame) {
  reader_.SendWholeRead("12345\r\n");
  char* frame = Rdr00800_GetProximidadeReaderValue("2", kPort, 9600);
  Rdr00800_FreeText(frame);
  std::thread([] {
    Rdr00800::GetProximidadeReaderValue("2", "COM0", 9600);
    EXPECT_EQ(Rdr00800_LastReadStatus(), RDR00800_READ_NO_SUCH_DEVICE);
  }).join();
  EXPECT_EQ(Rdr00800_LastReadStatus(), RDR00800_READ_OK);
  char* message = Rdr00800_LastReadMessage();
  EXPECT_STREQ(message, "");
  Rdr00800_FreeText(message);
}

}  // namespace
