#include "fake_camera_driver.h"

namespace vesk::testing {

bool FakeCameraDriver::OpenInterface(std::uint16_t memberIndex, NativeDeviceHandle& handle,
                                     std::string& path) {
  openedMembers.push_back(memberIndex);
  if (!interfacePresent) return false;
  if (openRefused) {
    handle = kInvalidDeviceHandle;
    return false;
  }
  handle = nextHandle++;
  openHandles.insert(handle);
  path = devicePath;
  return true;
}

bool FakeCameraDriver::IoControl(NativeDeviceHandle handle, std::uint32_t code,
                                 std::span<const std::uint8_t> input,
                                 std::span<std::uint8_t> output) {
  requests.push_back({handle, code, {input.begin(), input.end()}, output.size()});
  const std::size_t number = requests.size();
  if (!openHandles.contains(handle)) return false;
  if (failingRequests.contains(number)) return false;
  return true;
}

void FakeCameraDriver::Close(NativeDeviceHandle handle) {
  closedHandles.push_back(handle);
  openHandles.erase(handle);
}

std::vector<std::uint8_t> Bytes(std::initializer_list<std::uint8_t> bytes) { return bytes; }

}  // namespace vesk::testing
