// The serial device layer on Linux: ttys through termios2, held exclusively
// with flock plus TIOCEXCL, read against a timerfd deadline.
#include <asm/termbits.h>  // struct termios2 and BOTHER, for rates beyond the classic codes
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <utility>

#include "decode/ascii_case.h"
#include "device/device.h"
#include "device/port_names.h"
#include "device/system_call_faults.h"
#include "device/wake_signal.h"

namespace Rdr00800::detail {

namespace {

// Runs a system call that reports failure as -1 with errno, retrying it while
// a signal interrupts it. An injected failure stands in for the call.
template <class Call>
auto Retrying(SystemCall kind, Call&& call) -> decltype(call()) {
  for (;;) {
    if (const int injected = TakeInjectedFailure(kind)) {
      errno = injected;
    } else if (const auto result = call(); result != -1) {
      return result;
    }
    if (errno != EINTR) return -1;
  }
}

class UniqueDescriptor {
 public:
  UniqueDescriptor() = default;
  explicit UniqueDescriptor(int fd) noexcept : fd_(fd) {}
  UniqueDescriptor(UniqueDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueDescriptor& operator=(UniqueDescriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  // Not retried on EINTR: Linux has released the descriptor by then, and a
  // retry could close one another thread just opened.
  ~UniqueDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

struct ClassicRate {
  int32_t baud;
  tcflag_t code;
};

// The rates the classic termios codes name, as cfsetspeed sets them; drivers
// that predate BOTHER understand only these.
constexpr std::array<ClassicRate, 29> kClassicRates = {{
    {50, B50},           {75, B75},           {110, B110},         {150, B150},         {200, B200},
    {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},       {2400, B2400},
    {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
}};

tcflag_t RateCode(int32_t baud) {
  for (const ClassicRate& rate : kClassicRates) {
    if (rate.baud == baud) return rate.code;
  }
  return BOTHER;
}

constexpr std::array<tcflag_t, 4> kCharacterSizes = {CS5, CS6, CS7, CS8};

timespec MonotonicNow() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

timespec Plus(timespec time, std::chrono::milliseconds span) {
  const auto total = std::chrono::nanoseconds(time.tv_nsec) + span;
  time.tv_sec += static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(total).count());
  time.tv_nsec = static_cast<long>((total % std::chrono::seconds(1)).count());
  return time;
}

// A timer descriptor that becomes readable at `deadline` on the monotonic
// clock. Unlike a poll time-out it gets no timer slack, which would let a
// one-second wait run up to a millisecond late (more for a niced thread).
UniqueDescriptor DeadlineTimer(timespec deadline) {
  UniqueDescriptor timer(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  if (!timer) return timer;
  itimerspec expiry{};
  expiry.it_value = deadline;
  if (::timerfd_settime(timer.get(), TFD_TIMER_ABSTIME, &expiry, nullptr) != 0) return UniqueDescriptor();
  return timer;
}

// "COMn" (n >= 1, no leading zero) is the n-th 16550-style port, /dev/ttyS{n-1}.
std::string ComPortPath(std::string_view port) {
  if (!StartsWithIgnoringAsciiCase(port, "com")) return {};
  const std::string_view number = port.substr(3);
  if (number.empty() || number.front() == '0') return {};
  unsigned index = 0;
  const auto [stop, error] = std::from_chars(number.data(), number.data() + number.size(), index);
  if (error != std::errc() || stop != number.data() + number.size()) return {};
  return "/dev/ttyS" + std::to_string(index - 1);
}

// What an errno from opening and locking a device means to the reader.
ReadStatus OpenStatus(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
      return ReadStatus::NoSuchDevice;
    case EACCES:
    case EPERM:
    case EROFS:
      return ReadStatus::PermissionDenied;
    case EBUSY:        // TIOCEXCL set by another holder
    case EWOULDBLOCK:  // flock held by another holder
      return ReadStatus::Busy;
    case EISDIR:
    case ENOTTY:  // TIOCEXCL or TCGETS2 on something that is no terminal
    case EINVAL:
      return ReadStatus::NotASerialPort;
    default:
      return ReadStatus::IoError;
  }
}

// A failed read on a tty whose other end is gone reports EIO (a pty) or
// ENODEV/ENXIO (a USB adapter pulled out), or returns 0.
ReadStatus ReadStatusOf(int error) {
  return error == 0 || error == EIO || error == ENODEV || error == ENXIO ? ReadStatus::HungUp : ReadStatus::IoError;
}

}  // namespace

std::string DevicePathForName(std::string_view deviceName) {
  std::string_view port = deviceName;
  if (port.ends_with(':')) port.remove_suffix(1);
  if (auto mapped = MappedDevicePath(port)) return std::move(*mapped);
  if (port.starts_with('/') || IsNetworkPath(port)) return std::string(port);
  if (port.size() == 4 && StartsWithIgnoringAsciiCase(port, "lpt1")) return "/dev/lp0";
  return ComPortPath(port);
}

namespace {

class TtyBackend final : public DeviceBackend {
 public:
  explicit TtyBackend(UniqueDescriptor fd) noexcept : fd_(std::move(fd)) {}
  // A pty keeps TIOCEXCL after the last close, which would lock out the next
  // poll; only the holder clears it, or a refused opener would strip the
  // holder's protection on its way out.
  ~TtyBackend() override { ::ioctl(fd_.get(), TIOCNXCL); }

  std::optional<LineSettings> GetLineSettings() override;
  bool SetLineSettings(const LineSettings& settings) override;
  // Linux sizes tty buffers itself.
  bool SetQueueSizes(size_t, size_t) override { return true; }
  bool SetReadTimeout(std::chrono::milliseconds total, std::chrono::milliseconds interval) override;
  std::optional<size_t> ReadOnce(std::span<char> buffer) override;
  std::optional<size_t> ReadAvailable(std::span<char> buffer, std::chrono::milliseconds wait,
                                      const WakeSignal& wake) override;

 private:
  // Reads what the tty holds now, up to buffer.size() bytes: the count (0
  // when nothing is there), or nullopt when the tty failed or hung up.
  std::optional<size_t> Drain(std::span<char> buffer);

  UniqueDescriptor fd_;
  std::optional<termios2> line_;  // as the device reported it
  std::chrono::milliseconds readTimeout_{0};
  std::chrono::milliseconds readInterval_{0};
};

}  // namespace

std::unique_ptr<DeviceBackend> OpenSerialPort(const std::string& path, DeviceFailure& failure) {
  UniqueDescriptor fd(
      Retrying(SystemCall::Open, [&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }));
  if (!fd) return failure = {OpenStatus(errno), errno}, nullptr;
  // TIOCEXCL alone does not stop root, and flock alone does not stop a plain
  // open(): together they keep both out. The flag is set only once the lock
  // is ours, so that only the holder ever touches it.
  const int raw = fd.get();
  if (Retrying(SystemCall::Lock, [&] { return ::flock(raw, LOCK_EX | LOCK_NB); }) != 0 ||
      Retrying(SystemCall::Lock, [&] { return ::ioctl(raw, TIOCEXCL); }) != 0) {
    return failure = {OpenStatus(errno), errno}, nullptr;
  }
  return std::make_unique<TtyBackend>(std::move(fd));
}

std::optional<LineSettings> TtyBackend::GetLineSettings() {
  termios2 line{};
  if (Retrying(SystemCall::GetLine, [&] { return ::ioctl(fd_.get(), TCGETS2, &line); }) != 0) {
    return Fail(errno == ENOTTY || errno == EINVAL ? ReadStatus::NotASerialPort : ReadStatus::IoError, errno);
  }
  line_ = line;
  LineSettings settings;
  settings.baud = static_cast<int32_t>(line.c_ospeed);
  for (size_t i = 0; i < kCharacterSizes.size(); ++i) {
    if ((line.c_cflag & CSIZE) == kCharacterSizes[i]) settings.dataBits = static_cast<uint8_t>(5 + i);
  }
  if (line.c_cflag & PARENB) settings.parity = (line.c_cflag & PARODD) ? Parity::Odd : Parity::Even;
  settings.stopBits = (line.c_cflag & CSTOPB) ? 2 : 1;
  return settings;
}

bool TtyBackend::SetLineSettings(const LineSettings& settings) {
  if (!line_) return Fail(ReadStatus::NotASerialPort, 0), false;
  if (!settings.Valid()) return Fail(ReadStatus::LineRefused, 0), false;
  termios2 line = *line_;
  // Clearing the input-rate field makes input follow the output rate.
  line.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  line.c_cflag |= RateCode(settings.baud);
  line.c_ispeed = line.c_ospeed = static_cast<speed_t>(settings.baud);

  line.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  line.c_cflag |= kCharacterSizes[settings.dataBits - 5] | CREAD;
  if (settings.parity != Parity::None) line.c_cflag |= PARENB;
  if (settings.parity == Parity::Odd) line.c_cflag |= PARODD;
  if (settings.stopBits == 2) line.c_cflag |= CSTOPB;

  // The line discipline would otherwise rewrite the reader's bytes (CR LF
  // arrives as LF LF, 0x12 is an editing key) and echo them back to the
  // reader. IXON only swallows 0x11 and 0x13 from frames, as the poll never
  // writes; IXOFF and hardware flow control stay as the device has them.
  line.c_iflag &= ~(ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | IXON | IXANY);
  line.c_oflag &= ~OPOST;
  line.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ISIG | IEXTEN);
  // With VMIN 0 an empty non-blocking read returns 0, which could not be
  // told from a hang-up; with VMIN 1 it fails with EAGAIN.
  line.c_cc[VMIN] = 1;
  line.c_cc[VTIME] = 0;

  if (Retrying(SystemCall::SetLine, [&] { return ::ioctl(fd_.get(), TCSETS2, &line); }) == 0) return true;
  return Fail(errno == EINVAL ? ReadStatus::LineRefused : ReadStatus::IoError, errno), false;
}

bool TtyBackend::SetReadTimeout(std::chrono::milliseconds total, std::chrono::milliseconds interval) {
  if (total <= std::chrono::milliseconds::zero() || interval < std::chrono::milliseconds::zero()) {
    return Fail(ReadStatus::LineRefused, 0), false;
  }
  readTimeout_ = total;
  readInterval_ = interval;
  return true;
}

std::optional<size_t> TtyBackend::Drain(std::span<char> buffer) {
  size_t count = 0;
  while (count < buffer.size()) {
    const ssize_t got =
        Retrying(SystemCall::Read, [&] { return ::read(fd_.get(), buffer.data() + count, buffer.size() - count); });
    if (got > 0) {
      count += static_cast<size_t>(got);
    } else if ((got < 0 && errno == EAGAIN) || count > 0) {
      // Bytes a tty held when it hung up are the reader's: they go out, and
      // the next read reports the hang-up.
      break;
    } else {
      return Fail(ReadStatusOf(got < 0 ? errno : 0), got < 0 ? errno : 0);
    }
  }
  return count;
}

std::optional<size_t> TtyBackend::ReadOnce(std::span<char> buffer) {
  const timespec deadline = Plus(MonotonicNow(), readTimeout_);
  UniqueDescriptor timer;  // made only when the bytes are not all there yet
  size_t count = 0;
  bool expired = false;
  for (;;) {
    const auto got = Drain(buffer.subspan(count));
    if (!got) return std::nullopt;
    count += *got;
    if (count == buffer.size() || expired) return count;
    if (!timer) {
      timer = DeadlineTimer(deadline);
      if (!timer) return Fail(ReadStatus::IoError, errno);
    }
    std::array<pollfd, 2> waits = {{{fd_.get(), POLLIN, 0}, {timer.get(), POLLIN, 0}}};
    // Interval mode, as the Windows driver does it: once bytes came, a quiet
    // interval ends the read. Each wait starts right after the last bytes were taken.
    const auto interval = readInterval_.count();
    const int quietMs = count > 0 && interval > 0 ? static_cast<int>(interval) : -1;
    const int ready = Retrying(SystemCall::Wait, [&] { return ::poll(waits.data(), waits.size(), quietMs); });
    if (ready < 0) return Fail(ReadStatus::IoError, errno);
    if (ready == 0) return count;
    if (waits[0].revents & POLLNVAL) return Fail(ReadStatus::IoError, EBADF);
    if (waits[0].revents & (POLLHUP | POLLERR)) return Fail(ReadStatus::HungUp, 0);
    expired = (waits[1].revents & POLLIN) != 0;
  }
}

std::optional<size_t> TtyBackend::ReadAvailable(std::span<char> buffer, std::chrono::milliseconds wait,
                                                const WakeSignal& wake) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (wake.Raised()) return 0;
    const auto got = Drain(buffer);
    if (!got || *got > 0) return got;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero()) return 0;
    std::array<pollfd, 2> waits = {{{fd_.get(), POLLIN, 0}, {static_cast<int>(wake.NativeHandle()), POLLIN, 0}}};
    const int ready =
        Retrying(SystemCall::Wait, [&] { return ::poll(waits.data(), waits.size(), static_cast<int>(left.count())); });
    if (ready < 0) return Fail(ReadStatus::IoError, errno);
    if (waits[0].revents & POLLNVAL) return Fail(ReadStatus::IoError, EBADF);
    // Bytes still queued on a hung-up tty are taken first; the read after them reports the hang-up.
    if ((waits[0].revents & (POLLHUP | POLLERR)) && !(waits[0].revents & POLLIN)) return Fail(ReadStatus::HungUp, 0);
  }
}

}  // namespace Rdr00800::detail
