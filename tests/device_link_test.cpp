#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

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

TEST_F(DeviceLinkTest, OpenCopiesThePathWithItsZeroOrFailsLeavingItUntouched) {
  struct Row {
    const char* name;
    bool present, refused;
    std::size_t pathLength;
    NativeDeviceHandle failedHandle;  // kNoFailure: the open succeeds
  };
  constexpr NativeDeviceHandle kNoFailure = 0x7777;
  const Row rows[] = {{"opens", true, false, 30, kNoFailure},
                      {"no interface", false, false, 30, kNullDeviceHandle},
                      {"open refused", true, true, 30, kInvalidDeviceHandle},
                      {"path fills the buffer", true, false, 1023, kNoFailure},
                      {"path one too long", true, false, 1024, kNullDeviceHandle}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeCameraDriver d;
    d.interfacePresent = row.present;
    d.openRefused = row.refused;
    d.devicePath = std::string(row.pathLength, 'p');
    DeviceHandle h{kNullDeviceHandle, &d};
    path.fill('#');
    const bool opens = row.failedHandle == kNoFailure;
    EXPECT_EQ(OpenCameraDevice(0, h, path), opens ? 0 : 1);
    EXPECT_EQ(h.IsOpen(), opens);
    if (opens) {
      EXPECT_STREQ(path.data(), d.devicePath.c_str());
      EXPECT_EQ(path[std::min<std::size_t>(row.pathLength + 1, 1023)], row.pathLength < 1023 ? '#' : '\0');
    } else {
      EXPECT_TRUE(PathUntouched());
      EXPECT_EQ(h.value, row.failedHandle);
      EXPECT_TRUE(d.openHandles.empty());
    }
  }
}

TEST_F(DeviceLinkTest, OpenClosesAHandleStillOpenAndCloseClosesOnce) {
  ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);
  const NativeDeviceHandle first = handle.value;
  ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);
  EXPECT_NE(handle.value, first);
  EXPECT_EQ(driver.closedHandles, std::vector<NativeDeviceHandle>{first});
  EXPECT_EQ(CloseCameraDevice(handle), 0);
  EXPECT_EQ(handle.value, kNullDeviceHandle);
  EXPECT_EQ(CloseCameraDevice(handle), 0);
  handle.value = kInvalidDeviceHandle;
  EXPECT_EQ(CloseCameraDevice(handle), 0);
  EXPECT_EQ(driver.closedHandles.size(), 2u);
  EXPECT_TRUE(driver.openHandles.empty());
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

// Boards run on threads of their own: each thread's messages reach its own sink only.
// A driver whose list names `listed` while its open answers with the fake's path.
class ListingDriver : public FakeCameraDriver {
 public:
  std::vector<std::string> listed;
  std::vector<BoardInfo> ListBoards() override {
    std::vector<BoardInfo> boards;
    for (const std::string& path : listed) boards.push_back({path, 0x04B4, 0x8613, {}, ""});
    return boards;
  }
};

// The chosen board opens at the member where it is listed now, and only if the open reaches
// it; a board gone from the list or replaced by another is no device, a refused open keeps
// the driver's status, and nothing stays open after a failure.
TEST(OpenBoardByPath, OpensOnlyTheChosenBoard) {
  const std::string gone = "no device (the chosen board usb:1-2 is no longer attached)";
  const struct {
    const char* name;
    std::vector<std::string> listed;
    std::string answers;  // the path the driver's open reaches
    bool present;
    std::string status;   // Text(); "" when opened
    std::vector<std::uint16_t> opened;
  } rows[] = {
      {"listed second", {"usb:1-1", "usb:1-2"}, "usb:1-2", true, "", {1}},
      {"not listed", {"usb:1-1"}, "usb:1-2", true, gone, {}},
      {"replaced between list and open", {"usb:1-1", "usb:1-2"}, "usb:1-3", true, gone, {1}},
      {"open refused", {"usb:1-2"}, "usb:1-2", false, "failed", {0}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ListingDriver driver;
    driver.listed = row.listed;
    driver.devicePath = row.answers;
    driver.interfacePresent = row.present;
    NativeDeviceHandle handle = 0x55;
    std::string path = "untouched";
    const DriverStatus status = OpenBoardByPath(driver, "usb:1-2", handle, path);
    EXPECT_EQ(status.Text(), row.status);
    EXPECT_EQ(driver.openedMembers, row.opened);
    EXPECT_EQ(path, status.Ok() ? "usb:1-2" : "untouched");
    EXPECT_EQ(driver.openHandles.size(), status.Ok() ? 1u : 0u);
    if (!status.Ok()) {
      EXPECT_EQ(handle, kNullDeviceHandle);
    }
  }
}

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
