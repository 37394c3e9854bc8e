#include <gtest/gtest.h>

#include "device/control_firmware_table.h"
#include "device/device_connection.h"
#include "device/firmware_loader.h"
#include "fake_camera_driver.h"

namespace vesk {
namespace {

using testing::Bytes;

class FirmwareLoaderTest : public ::testing::Test {
 protected:
  testing::FakeCameraDriver driver;
  DeviceHandle handle{kNullDeviceHandle, &driver};

  void SetUp() override {
    std::array<char, 256> path{};
    ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);
  }
};

const auto kHold = Bytes({0xA0, 0x00, 0x00, 0xE6, 0x00, 0x00, 0x01});
const auto kRelease = Bytes({0xA0, 0x00, 0x00, 0xE6, 0x00, 0x00, 0x00});

TEST_F(FirmwareLoaderTest, HoldRecordsReleaseInTableOrderWithOnlyTheUsedBytes) {
  HexRecord table[] = {
      {13, 0x0EEA, 0, {0xEF, 0x24, 0xFF, 0x92, 0x07, 0xA2, 0x07, 0xE4, 0x33, 0x90, 0x13, 0xC9, 0xF0}},
      {1, 0x0EF7, 0, {0x22, 0x55, 0x66}},  // bytes past the length are not sent
      {0, 0x0000, 1, {}},
  };
  ASSERT_TRUE(DownloadControlFirmware(handle, table));
  ASSERT_EQ(driver.requests.size(), 4u);
  EXPECT_EQ(driver.requests[0].input, kHold);
  EXPECT_EQ(driver.requests[1].input, Bytes({0xA0, 0x00, 0xEA, 0x0E, 0x00, 0x00, 0xEF, 0x24, 0xFF,
                                             0x92, 0x07, 0xA2, 0x07, 0xE4, 0x33, 0x90, 0x13, 0xC9,
                                             0xF0}));
  EXPECT_EQ(driver.requests[2].input, Bytes({0xA0, 0x00, 0xF7, 0x0E, 0x00, 0x00, 0x22}));
  EXPECT_EQ(driver.requests[2].outputSize, 1u);
  EXPECT_EQ(driver.requests[3].input, kRelease);
}

TEST_F(FirmwareLoaderTest, RefusedRecordStopsTheLoadAndLeavesTheCpuHeld) {
  HexRecord table[] = {{1, 0x0100, 0, {0x00}}, {1, 0x0101, 0, {0x00}}, {0, 0, 1, {}}};
  driver.failingRequests = {2};
  EXPECT_FALSE(DownloadControlFirmware(handle, table));
  ASSERT_EQ(driver.requests.size(), 2u);
  EXPECT_EQ(driver.requests[0].input, kHold);

  driver.requests.clear();
  driver.failingRequests = {1};
  EXPECT_FALSE(DownloadControlFirmware(handle, table));
  EXPECT_EQ(driver.requests.size(), 1u);
}

TEST_F(FirmwareLoaderTest, AnyNonZeroTypeEndsTheTable) {
  HexRecord table[] = {{1, 0x0100, 0, {0x11}}, {1, 0x0200, 2, {0x22}}, {1, 0x0300, 0, {0x33}},
                       {0, 0, 1, {}}};
  ASSERT_TRUE(LoadHexRecords(handle, table));
  ASSERT_EQ(driver.requests.size(), 1u);
}

TEST_F(FirmwareLoaderTest, FailingReleaseIsNotReported) {
  HexRecord table[] = {{1, 0x0100, 0, {0x11}}, {0, 0, 1, {}}};
  driver.failingRequests = {3};
  EXPECT_TRUE(DownloadControlFirmware(handle, table));
  EXPECT_EQ(driver.requests.back().input, kRelease);
}

TEST_F(FirmwareLoaderTest, TablesThatLoadNothingOrOverrunARecordAreRefused) {
  HexRecord empty[] = {{0, 0, 1, {}}};
  EXPECT_FALSE(LoadHexRecords(handle, empty));
  EXPECT_TRUE(driver.requests.empty());

  HexRecord overlong[] = {{17, 0x0100, 0, {}}, {0, 0, 1, {}}};
  EXPECT_FALSE(DownloadControlFirmware(handle, overlong));
  EXPECT_EQ(driver.requests.size(), 1u);  // the hold only; the CPU stays held
}

TEST(ControlFirmwareTableShape, RecordsAreSmallDisjointAndEndWithOneEndRecord) {
  const std::size_t count = ControlFirmwareRecordCount;
  ASSERT_GE(count, 2u);
  const HexRecord& end = ControlFirmwareTable[count - 1];
  EXPECT_EQ(end.length, 0);
  EXPECT_EQ(end.address, 0);
  EXPECT_EQ(end.type, 1);
  for (std::uint8_t b : end.data) EXPECT_EQ(b, 0);

  std::vector<bool> used(0x10000);
  bool resetVectorIsLongJump = false;
  for (std::size_t i = 0; i + 1 < count; ++i) {
    const HexRecord& r = ControlFirmwareTable[i];
    ASSERT_EQ(r.type, 0) << "row " << i + 1;
    ASSERT_GE(r.length, 1);
    ASSERT_LE(r.length, 16);
    for (int k = r.length; k < 16; ++k) EXPECT_EQ(r.data[k], 0) << "row " << i + 1;
    for (int k = 0; k < r.length; ++k) {
      ASSERT_LT(r.address + k, 0x2000) << "row " << i + 1;
      ASSERT_FALSE(used[r.address + k]) << "overlap at row " << i + 1;
      used[r.address + k] = true;
    }
    if (r.address == 0 && r.length >= 3 && r.data[0] == 0x02) resetVectorIsLongJump = true;
  }
  EXPECT_TRUE(resetVectorIsLongJump);
}

}  // namespace
}  // namespace vesk
