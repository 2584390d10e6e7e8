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
TEST(HeldComPort, ReadAvailableEndsWhenBytesArriveOrItsWaitPasses) {
  const auto reader = rdrtest::NewSimulatedReader();
  auto device = SerialDevice::Open(reader->DevicePath());
  ASSERT_TRUE(device);
  WakeSignal wake;
  std::array<char, 64> buffer{};
  std::string got;
  reader->SendAfter(200ms, "AB\r\n");
  const auto arrival = rdrtest::Elapsed([&] {
    while (got.size() < 4) {
      const auto count = device->ReadAvailable(buffer, 5s, wake);
      ASSERT_TRUE(count);
      got.append(buffer.data(), *count);
    }
  });
  EXPECT_EQ(got, "AB\r\n");
  EXPECT_LT(arrival, 3s);
  std::optional<size_t> count;
  EXPECT_GE(rdrtest::Elapsed([&] { count = device->ReadAvailable(buffer, 300ms, wake); }), 250ms);
  EXPECT_EQ(count, 0u);
}

TEST(HeldComPort, TheWakeSignalEndsTheWaitAtOnceAndNoByteIsLost) {
  const auto reader = rdrtest::NewSimulatedReader();
  auto device = SerialDevice::Open(reader->DevicePath());
  ASSERT_TRUE(device);
  WakeSignal wake;
  std::array<char, 64> buffer{};
  std::optional<size_t> count;
  const auto woken = rdrtest::Elapsed([&] {
    std::thread raiser([&] {
      std::this_thread::sleep_for(200ms);
      wake.Raise();
    });
    count = device->ReadAvailable(buffer, 10s, wake);
    raiser.join();
  });
  EXPECT_EQ(count, 0u);
  EXPECT_LT(woken, 3s);
  // A byte that arrives as the wait is woken is either read by that wait or
  // left queued for the next: each one comes out once, in order.
  const std::string sent = "abcdefghijklmnopqrst";
  std::string got;
  for (const char byte : sent) {
    wake.Clear();
    std::thread sender([&] {
      reader->Send(std::string(1, byte));
      wake.Raise();
    });
    count = device->ReadAvailable(buffer, 2s, wake);
    sender.join();
    ASSERT_TRUE(count);
    got.append(buffer.data(), *count);
  }
  wake.Clear();
  while (got.size() < sent.size()) {
    count = device->ReadAvailable(buffer, 2s, wake);
    ASSERT_TRUE(count && *count > 0) << "got " << got;
    got.append(buffer.data(), *count);
  }
  EXPECT_EQ(got, sent);
}

}  // namespace
