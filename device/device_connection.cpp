#include "device/device_connection.h"

#include <cstring>
#include <string>

namespace vesk {

std::uint16_t OpenCameraDevice(std::uint16_t memberIndex, DeviceHandle& handle,
                               std::span<char> pathBuffer) {
  // A failed earlier run leaves its connection open; do not leak it.
  CloseCameraDevice(handle);
  handle.value = kNullDeviceHandle;
  if (handle.driver == nullptr) return kOpenFailed;

  std::string path;
  if (!handle.driver->OpenInterface(memberIndex, handle.value, path)) return kOpenFailed;
  if (path.size() + 1 > pathBuffer.size()) {
    CloseCameraDevice(handle);
    return kOpenFailed;
  }
  std::memcpy(pathBuffer.data(), path.c_str(), path.size() + 1);
  return kOpenSucceeded;
}

std::uint16_t CloseCameraDevice(DeviceHandle& handle) {
  if (handle.IsOpen()) {
    handle.driver->Close(handle.value);
    handle.value = kNullDeviceHandle;
  }
  return 0;
}

}  // namespace vesk
