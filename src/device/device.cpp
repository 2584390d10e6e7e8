// Opening a device: the name is mapped to a path, and the path chooses the
// backend. Network readers are opened by the layer above, which hands its
// opener in, so that this layer knows their texts but not their protocols.
#include "device/device.h"

#include "decode/ascii_case.h"

namespace Rdr00800::detail {

bool IsNetworkPath(std::string_view path) {
  return StartsWithIgnoringAsciiCase(path, kRfc2217Scheme) || StartsWithIgnoringAsciiCase(path, kTcpScheme);
}

std::optional<SerialDevice> SerialDevice::Open(std::string_view deviceName, DeviceFailure* failure,
                                               NetworkOpener openNetworkDevice) {
  DeviceFailure cause;
  const std::string path = DevicePathForName(deviceName);
  std::unique_ptr<DeviceBackend> backend;
  if (path.empty() || (IsNetworkPath(path) && !openNetworkDevice)) {
    cause = {ReadStatus::NoSuchDevice, 0};
  } else {
    backend = IsNetworkPath(path) ? openNetworkDevice(path, cause) : OpenSerialPort(path, cause);
  }
  if (failure) *failure = cause;
  if (!backend) return std::nullopt;
  return SerialDevice(std::move(backend));
}

}  // namespace Rdr00800::detail
