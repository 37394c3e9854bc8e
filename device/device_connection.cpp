#include "device/device_connection.h"

#include <cstring>
#include <string>

#include "device/failure_detail.h"

namespace vesk {

std::uint16_t OpenCameraDevice(std::uint16_t memberIndex, DeviceHandle& handle,
                               std::span<char> pathBuffer) {
  // A failed earlier run leaves its connection open; do not leak it.
  CloseCameraDevice(handle);
  handle.value = kNullDeviceHandle;
  if (handle.driver == nullptr) return kOpenFailed;

  std::string path;
  if (const DriverStatus status = handle.driver->OpenInterface(memberIndex, handle.value, path);
      !status.Ok()) {
    // A bare "failed" adds nothing to "cannot open".
    SetFailureDetail("cannot open the camera" + (status.SaysWhy() ? ": " + status.Text() : ""));
    return kOpenFailed;
  }
  if (path.size() + 1 > pathBuffer.size()) {
    SetFailureDetail("cannot open the camera: its device path is longer than " +
                     std::to_string(pathBuffer.size() - 1) + " characters");
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
