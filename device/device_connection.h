#pragma once
// Finding, opening and closing the camera.

#include <cstdint>
#include <span>

#include "device/camera_driver.h"

namespace vesk {

inline constexpr std::uint16_t kOpenSucceeded = 0;
inline constexpr std::uint16_t kOpenFailed = 1;

// Opens the memberIndex-th present camera interface through handle.driver.
// A handle that is still open from an earlier run is closed first. Then the handle is
// set to null and, once the driver's open has been tried, holds what it returned.
// Returns 0 when opened, with the device path and its terminating zero copied into
// `pathBuffer`; returns 1 otherwise, with `pathBuffer` untouched. A path that does not
// fit `pathBuffer` with its zero fails the open, and the device opened is closed again.
// On failure the thread's FailureDetail is "cannot open the camera", followed by the
// driver's status where it says why (": busy (usb:1-2; another program holds the board)").
std::uint16_t OpenCameraDevice(std::uint16_t memberIndex, DeviceHandle& handle,
                               std::span<char> pathBuffer);

// Closes an open handle and sets it to null; a null or invalid handle is left as it is.
// Always returns 0.
std::uint16_t CloseCameraDevice(DeviceHandle& handle);

}  // namespace vesk
