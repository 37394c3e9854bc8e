#pragma once
// A scripted camera driver: records every I/O control as the driver would see it and
// answers from a script.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "device/camera_driver.h"

namespace vesk::testing {

struct RecordedIoControl {
  NativeDeviceHandle handle;
  std::uint32_t code;
  std::vector<std::uint8_t> input;
  std::size_t outputSize;
};

class FakeCameraDriver : public CameraDriver {
 public:
  // Open script.
  bool interfacePresent = true;
  bool openRefused = false;  // the platform open returns the invalid value
  std::string devicePath = "\\\\?\\usb#vid_125c&pid_0010#fake";
  NativeDeviceHandle nextHandle = 0x100;

  // I/O control script: requests are counted from 1; those listed fail.
  std::set<std::size_t> failingRequests;

  // Failures say only that they failed, as a platform that gives no reason.
  DriverStatus OpenInterface(std::uint16_t memberIndex, NativeDeviceHandle& handle,
                             std::string& path) override {
    openedMembers.push_back(memberIndex);
    if (!interfacePresent) return Failure(StatusKind::Other);
    if (openRefused) {
      handle = kInvalidDeviceHandle;
      return Failure(StatusKind::Other);
    }
    handle = nextHandle++;
    openHandles.insert(handle);
    path = devicePath;
    return {};
  }
  DriverStatus IoControl(NativeDeviceHandle handle, std::uint32_t code,
                         std::span<const std::uint8_t> input,
                         std::span<std::uint8_t> output) override {
    requests.push_back({handle, code, {input.begin(), input.end()}, output.size()});
    if (openHandles.contains(handle) && !failingRequests.contains(requests.size())) return {};
    return Failure(StatusKind::Other);
  }
  void Close(NativeDeviceHandle handle) override {
    closedHandles.push_back(handle);
    openHandles.erase(handle);
  }

  std::vector<RecordedIoControl> requests;
  std::vector<std::uint16_t> openedMembers;
  std::vector<NativeDeviceHandle> closedHandles;
  std::set<NativeDeviceHandle> openHandles;
};

// A byte list as the vector the recorded requests hold.
inline std::vector<std::uint8_t> Bytes(std::initializer_list<std::uint8_t> bytes) { return bytes; }

}  // namespace vesk::testing
