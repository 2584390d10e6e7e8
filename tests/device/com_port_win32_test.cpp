// Port texts as Windows names them: the DOS device names and, beyond COM9,
// the device namespace; and reads of a port held between codes, on the
// COM1/COM2 pair test_windows.sh sets up.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>

#include "device/device.h"
#include "device/wake_signal.h"
#include "rdr00800/Rdr00800.h"
#include "serial/serial_test_support.h"
#include "support/simulated_reader.h"

namespace {

using namespace std::chrono_literals;
using Rdr00800::detail::DevicePathForName;
using Rdr00800::detail::SerialDevice;
using Rdr00800::detail::WakeSignal;

TEST(ComPortNames, DeviceNamesForPortTexts) {
  EXPECT_EQ(DevicePathForName("COM1:"), "COM1:");
  EXPECT_EQ(DevicePathForName("LPT1:"), "LPT1:");
  // Beyond COM9 only the device namespace reaches a port.
  EXPECT_EQ(DevicePathForName("com12:"), "\\\\.\\com12");
  EXPECT_EQ(DevicePathForName("COM012:"), "COM012:");
  EXPECT_EQ(DevicePathForName(":"), "");
  Rdr00800::SetPortDevice("COM3", "\\\\.\\COM15");
  EXPECT_EQ(DevicePathForName("com3:"), "\\\\.\\COM15");
  Rdr00800::SetPortDevice("COM3", "");
}

// A port held between codes: one overlapped read waited on together with the
// wake signal.
class HeldComPort : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(device_); }

  // Appends to `got` what held reads of up to 2 s each take until it has
  // `size` bytes; fails at a read that ends without a byte.
  void ReadUntil(std::string& got, size_t size) {
    while (got.size() < size) {
      const auto count = device_->ReadAvailable(buffer_, 2s, wake_);
      ASSERT_TRUE(count && *count > 0) << "got " << got;
      got.append(buffer_.data(), *count);
    }
  }

  std::unique_ptr<rdrtest::SimulatedReader> reader_ = rdrtest::NewSimulatedReader();
  std::optional<SerialDevice> device_ = SerialDevice::Open(reader_->DevicePath());
  WakeSignal wake_;
  std::array<char, 64> buffer_{};
};

TEST_F(HeldComPort, ReadAvailableEndsWhenBytesArriveOrItsWaitPasses) {
  std::string got;
  reader_->SendAfter(200ms, "AB\r\n");
  EXPECT_LT(rdrtest::Elapsed([&] { ReadUntil(got, 4); }), 3s);
  EXPECT_EQ(got, "AB\r\n");
  std::optional<size_t> count;
  EXPECT_GE(rdrtest::Elapsed([&] { count = device_->ReadAvailable(buffer_, 300ms, wake_); }), 250ms);
  EXPECT_EQ(count, 0u);
}

TEST_F(HeldComPort, TheWakeSignalEndsTheWaitAtOnceAndNoByteIsLost) {
  std::optional<size_t> count;
  const auto woken = rdrtest::Elapsed([&] {
    std::thread raiser([&] {
      std::this_thread::sleep_for(200ms);
      wake_.Raise();
    });
    count = device_->ReadAvailable(buffer_, 10s, wake_);
    raiser.join();
  });
  EXPECT_EQ(count, 0u);
  EXPECT_LT(woken, 3s);
  // A byte that arrives as the wait is woken is either read by that wait or
  // left queued for the next: each one comes out once, in order.
  const std::string sent = "abcdefghijklmnopqrst";
  std::string got;
  for (const char byte : sent) {
    wake_.Clear();
    std::thread sender([&] {
      reader_->Send(std::string(1, byte));
      wake_.Raise();
    });
    count = device_->ReadAvailable(buffer_, 2s, wake_);
    sender.join();
    ASSERT_TRUE(count);
    got.append(buffer_.data(), *count);
  }
  wake_.Clear();
  ReadUntil(got, sent.size());
  EXPECT_EQ(got, sent);
}

}  // namespace
