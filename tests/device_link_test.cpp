#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device/board_info.h"
#include "device/debug_output.h"
#include "device/device_connection.h"
#include "device/stop_request.h"
#include "device/vendor_request.h"
#include "fake_camera_driver.h"

namespace vesk {
namespace {

using testing::Bytes;
using testing::FakeCameraDriver;

class DeviceLinkTest : public ::testing::Test {
 protected:
  FakeCameraDriver driver;
  DeviceHandle handle{kNullDeviceHandle, &driver};
  std::array<char, 1024> path{};

  void SetUp() override { path.fill('#'); }
  bool PathUntouched() const {
    return std::all_of(path.begin(), path.end(), [](char c) { return c == '#'; });
  }
};

TEST_F(DeviceLinkTest, OpenFillsHandleAndCopiesPathWithItsZero) {
  ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);
  EXPECT_TRUE(handle.IsOpen());
  EXPECT_EQ(driver.openedMembers, std::vector<std::uint16_t>{0});
  EXPECT_STREQ(path.data(), driver.devicePath.c_str());
  EXPECT_EQ(path[driver.devicePath.size() + 1], '#');  // nothing written past the zero
}

TEST_F(DeviceLinkTest, FailedOpensLeaveHandleClosedAndPathUntouched) {
  driver.interfacePresent = false;
  EXPECT_EQ(OpenCameraDevice(0, handle, path), 1);
  EXPECT_EQ(handle.value, kNullDeviceHandle);
  EXPECT_TRUE(PathUntouched());

  driver.interfacePresent = true;
  driver.openRefused = true;
  EXPECT_EQ(OpenCameraDevice(0, handle, path), 1);
  EXPECT_EQ(handle.value, kInvalidDeviceHandle);
  EXPECT_FALSE(handle.IsOpen());
  EXPECT_TRUE(PathUntouched());
}

TEST_F(DeviceLinkTest, PathLongerThanBufferFailsAndClosesTheDevice) {
  driver.devicePath = std::string(1024, 'p');  // 1025 bytes with its zero
  EXPECT_EQ(OpenCameraDevice(0, handle, path), 1);
  EXPECT_TRUE(PathUntouched());
  EXPECT_FALSE(handle.IsOpen());
  EXPECT_TRUE(driver.openHandles.empty());

  driver.devicePath = std::string(1023, 'p');  // fits exactly
  EXPECT_EQ(OpenCameraDevice(0, handle, path), 0);
  EXPECT_EQ(path[1023], '\0');
}

TEST_F(DeviceLinkTest, OpenOverAStillOpenHandleClosesItFirst) {
  ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);
  const NativeDeviceHandle first = handle.value;
  ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);
  EXPECT_NE(handle.value, first);
  EXPECT_EQ(driver.closedHandles, std::vector<NativeDeviceHandle>{first});
  EXPECT_EQ(driver.openHandles.size(), 1u);
}

TEST_F(DeviceLinkTest, CloseClosesOnceAndIgnoresNullAndInvalid) {
  ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);
  EXPECT_EQ(CloseCameraDevice(handle), 0);
  EXPECT_EQ(handle.value, kNullDeviceHandle);
  EXPECT_EQ(CloseCameraDevice(handle), 0);
  handle.value = kInvalidDeviceHandle;
  EXPECT_EQ(CloseCameraDevice(handle), 0);
  EXPECT_EQ(handle.value, kInvalidDeviceHandle);
  EXPECT_EQ(driver.closedHandles.size(), 1u);
}

TEST_F(DeviceLinkTest, RequestHeaderAndBuffersInBothDirections) {
  ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);
  std::uint8_t data[3] = {0xAA, 0xBB, 0xCC};
  ASSERT_TRUE(SendVendorRequest(handle, 0xA0, 0, 0x0000, 0x1234, 3, data));
  ASSERT_TRUE(SendVendorRequest(handle, 0x55, 2, 0xBEEF, 0x0102, 3, data));
  ASSERT_TRUE(SendVendorRequest(handle, 0xC6, 0, 0x0000, 0x0000, 0, data));

  ASSERT_EQ(driver.requests.size(), 3u);
  const auto& out = driver.requests[0];
  EXPECT_EQ(out.code, 0xA7F873FCu);
  EXPECT_EQ(out.handle, handle.value);
  EXPECT_EQ(out.input, Bytes({0xA0, 0x00, 0x34, 0x12, 0x00, 0x00, 0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(out.outputSize, 3u);
  // Device to host: the header alone, direction 2 sent as 1, the caller's buffer as output.
  EXPECT_EQ(driver.requests[1].input, Bytes({0x55, 0x01, 0x02, 0x01, 0xEF, 0xBE}));
  EXPECT_EQ(driver.requests[1].outputSize, 3u);
  EXPECT_EQ(driver.requests[2].input, Bytes({0xC6, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(driver.requests[2].outputSize, 0u);
}

TEST_F(DeviceLinkTest, EepromBlockPutsChipAndBankInValueAndOffsetInIndex) {
  ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);
  std::vector<std::uint8_t> sixteen(16);
  for (int i = 0; i < 16; ++i) sixteen[i] = static_cast<std::uint8_t>(0xF0 + i);
  ASSERT_TRUE(WriteEepromBlock(handle, 1, 0, 0x0100, 16, sixteen.data()));
  auto expected = Bytes({0xC6, 0x00, 0x00, 0x01, 0x00, 0x01});
  expected.insert(expected.end(), sixteen.begin(), sixteen.end());
  EXPECT_EQ(driver.requests.at(0).input, expected);
  EXPECT_EQ(driver.requests.at(0).input.size(), 22u);
}

TEST_F(DeviceLinkTest, RequestsThroughAClosedHandleOrARefusingDriverFail) {
  std::uint8_t byte = 1;
  EXPECT_FALSE(SendVendorRequest(handle, 0xA0, 0, 0, 0xE600, 1, &byte));
  handle.value = kInvalidDeviceHandle;
  EXPECT_FALSE(SendVendorRequest(handle, 0xA0, 0, 0, 0xE600, 1, &byte));
  EXPECT_TRUE(driver.requests.empty());

  ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);
  driver.failingRequests = {1};
  EXPECT_FALSE(SendVendorRequest(handle, 0xA0, 0, 0, 0xE600, 1, &byte));
  EXPECT_TRUE(SendVendorRequest(handle, 0xA0, 0, 0, 0xE600, 1, &byte));

  // A stop request fails every request without reaching the driver, until it is cleared.
  RequestStop();
  EXPECT_FALSE(SendVendorRequest(handle, 0xA0, 0, 0, 0xE600, 1, &byte));
  EXPECT_FALSE(WriteEepromBlock(handle, 0, 4, 0, 1, &byte));
  ClearStopRequest();
  EXPECT_EQ(driver.requests.size(), 2u);
  EXPECT_TRUE(SendVendorRequest(handle, 0xA0, 0, 0, 0xE600, 1, &byte));
}

TEST_F(DeviceLinkTest, EachRequestReadsTheHandleAfresh) {
  ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);
  std::uint8_t byte = 0;
  DeviceHandle& same = handle;
  ASSERT_TRUE(SendVendorRequest(same, 0xA0, 0, 0, 0xE600, 1, &byte));
  ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);  // a new native value in the same variable
  ASSERT_TRUE(SendVendorRequest(same, 0xA0, 0, 0, 0xE600, 1, &byte));
  EXPECT_NE(driver.requests[0].handle, driver.requests[1].handle);
  EXPECT_EQ(driver.requests[1].handle, handle.value);
}

TEST(BoardList, IdentityTellsTheStateAndNothingElseIsABoard) {
  struct Case {
    std::uint16_t vendor, product, release;
    std::optional<BoardState> state;
  };
  const Case cases[] = {{0x04B4, 0x8613, 0xA001, BoardState::BareFx2},
                        {0x125C, 0x0010, 0x0011, BoardState::ControlFirmware},
                        {0x125C, 0x0010, 0x1100, BoardState::CameraFirmware},
                        {0x04B4, 0x1004, 0x0000, std::nullopt},
                        {0x125C, 0x0011, 0x0011, std::nullopt}};
  for (const Case& c : cases)
    EXPECT_EQ(BoardStateOf(c.vendor, c.product, c.release), c.state) << IdentityText(c.vendor, c.product);
}

// Boards run on threads of their own: each thread's messages reach its own sink only.
TEST(DebugOutputThreads, EachThreadKeepsItsOwnSink) {
  std::vector<std::string> process;
  const DebugSink old = SetDebugSink([&](std::string_view m) { process.emplace_back(m); });
  constexpr int kThreads = 4, kLines = 200;
  std::vector<std::vector<std::string>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&seen, t] {
      SetThreadDebugSink([&seen, t](std::string_view m) { seen[t].emplace_back(m); });
      for (int i = 0; i < kLines; ++i) DebugOutput(std::to_string(t));
      SetThreadDebugSink({});
    });
  DebugOutput("main");
  for (std::thread& thread : threads) thread.join();
  SetDebugSink(old);
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(seen[t], std::vector<std::string>(kLines, std::to_string(t)));
  EXPECT_EQ(process, std::vector<std::string>{"main"});
}

}  // namespace
}  // namespace vesk
