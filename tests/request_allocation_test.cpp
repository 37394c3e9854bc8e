// The request's heap copy cannot be made: the request fails cleanly. This binary replaces
// the nothrow array allocator, so it is kept apart from the other tests.
#include <gtest/gtest.h>

#include <array>
#include <new>

#include "device/device_connection.h"
#include "device/vendor_request.h"
#include "fake_camera_driver.h"

namespace {
bool gRefuseAllocation = false;
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (gRefuseAllocation) return nullptr;
  try {
    return ::operator new[](size);  // the matching operator delete[] stays the library's
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

namespace vesk {
namespace {

TEST(RequestAllocation, RefusedCopyFailsTheRequestWithoutReachingTheDriver) {
  testing::FakeCameraDriver driver;
  DeviceHandle handle{kNullDeviceHandle, &driver};
  std::array<char, 64> path{};
  ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);
  std::uint8_t data[4] = {1, 2, 3, 4};

  gRefuseAllocation = true;
  const bool sent = WriteEepromBlock(handle, 0, 1, 0, sizeof data, data);
  gRefuseAllocation = false;

  EXPECT_FALSE(sent);
  EXPECT_TRUE(driver.requests.empty());
  EXPECT_TRUE(WriteEepromBlock(handle, 0, 1, 0, sizeof data, data));
}

}  // namespace
}  // namespace vesk
