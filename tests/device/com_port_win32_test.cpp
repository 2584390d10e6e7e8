// Port texts as Windows names them: the DOS device names and, beyond COM9,
// the device namespace.
#include <gtest/gtest.h>

#include "device/device.h"
#include "rdr00800/Rdr00800.h"

namespace {

using Rdr00800::detail::DevicePathForName;

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

}  // namespace
