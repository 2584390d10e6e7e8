// Opening a device: the name is mapped to a path, and the path chooses the
// backend.
#include "serial/device.h"

#include "serial/network_device.h"

namespace Rdr00800::detail {

std::optional<SerialDevice> SerialDevice::Open(std::string_view deviceName, DeviceFailure* failure) {
  DeviceFailure cause;
  const std::string path = DevicePathForName(deviceName);
  std::unique_ptr<DeviceBackend> backend;
  if (path.empty()) {
    cause = {ReadStatus::NoSuchDevice, 0};
  } else {
    backend = IsNetworkPath(path) ? OpenNetworkDevice(path, cause) : OpenSerialPort(path, cause);
  }
  if (failure) *failure = cause;
  if (!backend) return std::nullopt;
  return SerialDevice(std::move(backend));
}

}  // namespace Rdr00800::detail
