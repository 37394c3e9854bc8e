#include <gtest/gtest.h>

#include <set>
#include <vector>

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

// Tables and refusals: what the load returns and the requests it sent. A failed load
// never sends the release, so the CPU stays held; a failing release is not reported.
TEST_F(FirmwareLoaderTest, EachTableAndRefusalGivesItsResultAndRequests) {
  struct Row {
    bool wholeDownload;  // hold, records, release; else the records alone
    std::vector<HexRecord> table;
    std::set<std::size_t> failingRequests;
    bool ok;
    std::vector<std::vector<std::uint8_t>> requests;
  };
  const auto record = [](std::uint16_t address, std::uint8_t byte) {
    return Bytes({0xA0, 0x00, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
                  0x00, 0x00, byte});
  };
  const HexRecord end{0, 0, 1, {}};
  const std::vector<HexRecord> two = {{1, 0x0100, 0, {0x11}}, {1, 0x0101, 0, {0x22}}, end};
  const Row rows[] = {
      // Only a record's own bytes are sent, in table order.
      {true, {{2, 0x0EEA, 0, {0xEF, 0x24}}, {1, 0x0EF7, 0, {0x22, 0x55}}, end}, {}, true,
       {kHold, Bytes({0xA0, 0x00, 0xEA, 0x0E, 0x00, 0x00, 0xEF, 0x24}), record(0x0EF7, 0x22), kRelease}},
      {true, two, {2}, false, {kHold, record(0x0100, 0x11)}},
      {true, two, {1}, false, {kHold}},
      {true, two, {4}, true, {kHold, record(0x0100, 0x11), record(0x0101, 0x22), kRelease}},
      // Any non-zero type ends the table.
      {false, {{1, 0x0100, 0, {0x11}}, {1, 0x0200, 2, {0x22}}, {1, 0x0300, 0, {0x33}}, end}, {},
       true, {record(0x0100, 0x11)}},
      {false, {end}, {}, false, {}},
      {true, {{17, 0x0100, 0, {}}, end}, {}, false, {kHold}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << "row " << (&row - rows));
    driver.requests.clear();
    driver.failingRequests = row.failingRequests;
    std::vector<HexRecord> table = row.table;
    EXPECT_EQ(row.wholeDownload ? DownloadControlFirmware(handle, table.data())
                                : LoadHexRecords(handle, table.data()),
              row.ok);
    std::vector<std::vector<std::uint8_t>> sent;
    for (const auto& request : driver.requests) sent.push_back(request.input);
    EXPECT_EQ(sent, row.requests);
  }
}

}  // namespace
}  // namespace vesk
