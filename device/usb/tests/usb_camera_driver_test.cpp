#include "device/usb/usb_camera_driver.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <vector>

#include "device/device_connection.h"
#include "device/failure_detail.h"
#include "device/vendor_request.h"

namespace vesk::usb {
namespace {

struct Seen {
  SetupPacket setup;
  std::vector<std::uint8_t> data;
};

// How the scripted endpoint answers: its status, and how many bytes of the data stage went
// through (all of them when unset). An IN data stage carries 0xA0, 0xA1, ...
struct Script {
  TransferStatus status = TransferStatus::Ok;
  std::optional<std::size_t> moved;
};

class ScriptedPort : public UsbControlPort {
 public:
  ScriptedPort(std::vector<Seen>& seen, const Script& script) : seen_(seen), script_(script) {}
  TransferResult ControlTransfer(const SetupPacket& setup, std::span<std::uint8_t> data) override {
    seen_.push_back({setup, {data.begin(), data.end()}});
    if (script_.status != TransferStatus::Ok) return {script_.status, 0};
    const std::size_t n = std::min(script_.moved.value_or(data.size()), data.size());
    if (setup.bmRequestType & 0x80)
      for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
    return {TransferStatus::Ok, static_cast<std::uint32_t>(n)};
  }

 private:
  std::vector<Seen>& seen_;
  const Script& script_;
};

class ScriptedSource : public UsbBoardSource {
 public:
  std::unique_ptr<UsbControlPort> OpenMember(std::uint16_t memberIndex,
                                             std::string& path) override {
    if (memberIndex >= boards) return nullptr;
    path = "scripted:" + std::to_string(memberIndex);
    return std::make_unique<ScriptedPort>(seen, script);
  }
  std::uint16_t boards = 1;
  Script script;
  std::vector<Seen> seen;
};

class UsbCameraDriverTest : public ::testing::Test {
 protected:
  NativeDeviceHandle Open() {
    NativeDeviceHandle handle = kNullDeviceHandle;
    std::string path;
    EXPECT_TRUE(driver.OpenInterface(0, handle, path));
    EXPECT_EQ(path, "scripted:0");
    return handle;
  }
  ScriptedSource source;
  UsbCameraDriver driver{source};
};

// Each request through the driver: the setup packet it became, what reached the caller's
// buffer (4 bytes between guards), and the result with its failure text.
TEST_F(UsbCameraDriverTest, EachRequestBecomesOneControlTransfer) {
  struct Row {
    std::uint8_t request;
    std::uint8_t direction;
    Script script;
    std::uint8_t requestType;
    bool ok;
    std::vector<std::uint8_t> buffer;  // after the call; written as 1, 2, 3, 4
    std::string detail;                // after a failure
  };
  const std::string write = "request 0xC6 write, chip 1, bank 5, offset 0x7FFC, 4 bytes: ";
  const std::string read = "request 0xC6 read, chip 1, bank 5, offset 0x7FFC, 4 bytes: ";
  const std::vector<std::uint8_t> untouched = {0x55, 0x55, 1, 2, 3, 4, 0x55, 0x55};
  const Row rows[] = {
      {0xC6, kHostToDevice, {}, 0x40, true, untouched, ""},
      {0xC6, kHostToDevice, {TransferStatus::Ok, 3}, 0x40, false, untouched,
       write + "failed (short transfer)"},
      {0xC6, kHostToDevice, {TransferStatus::Stall, {}}, 0x40, false, untouched, write + "stall"},
      {0xC6, kHostToDevice, {TransferStatus::Timeout, {}}, 0x40, false, untouched, write + "timeout"},
      {0xC6, kHostToDevice, {TransferStatus::NoDevice, {}}, 0x40, false, untouched,
       write + "no device"},
      {0xC6, kHostToDevice, {TransferStatus::Error, {}}, 0x40, false, untouched, write + "failed"},
      {0xC6, kDeviceToHost, {}, 0xC0, true, {0x55, 0x55, 0xA0, 0xA1, 0xA2, 0xA3, 0x55, 0x55}, ""},
      // The firmware sends a whole EEPROM read or stalls: a short one would be lost data.
      {0xC6, kDeviceToHost, {TransferStatus::Ok, 2}, 0xC0, false, untouched,
       read + "failed (short read)"},
      {0xC6, kDeviceToHost, {TransferStatus::Stall, {}}, 0xC0, false, untouched, read + "stall"},
      // Other requests may answer with fewer bytes: only those are written.
      {0xA0, kDeviceToHost, {TransferStatus::Ok, 2}, 0xC0, true,
       {0x55, 0x55, 0xA0, 0xA1, 3, 4, 0x55, 0x55}, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "request " << int(row.request) << " direction "
                                    << int(row.direction) << " row " << (&row - rows));
    source.script = row.script;
    source.seen.clear();
    DeviceHandle device{Open(), &driver};
    std::vector<std::uint8_t> buffer = untouched;
    EXPECT_EQ(SendVendorRequest(device, row.request, row.direction, 0x7FFC, 0x0105, 4,
                                buffer.data() + 2),
              row.ok);
    EXPECT_EQ(buffer, row.buffer);
    if (!row.ok) {
      EXPECT_EQ(FailureDetail(), row.detail);
    }
    ASSERT_EQ(source.seen.size(), 1u);
    const SetupPacket& setup = source.seen[0].setup;
    EXPECT_EQ(setup.bmRequestType, row.requestType);
    EXPECT_EQ(setup.bRequest, row.request);
    EXPECT_EQ(setup.wValue, 0x0105);
    EXPECT_EQ(setup.wIndex, 0x7FFC);
    EXPECT_EQ(setup.wLength, 4);
    if (row.direction == kHostToDevice) {
      EXPECT_EQ(source.seen[0].data, (std::vector<std::uint8_t>{1, 2, 3, 4}));
    }
    driver.Close(device.value);
  }
}

TEST_F(UsbCameraDriverTest, RefusesBadCodesHeadersAndLengthsWithoutTransfer) {
  const NativeDeviceHandle handle = Open();
  std::vector<std::uint8_t> out(4);
  const std::uint8_t header[] = {0xC6, 0, 0, 0, 0, 0};
  EXPECT_FALSE(driver.IoControl(handle, 0xA7F873F8, header, out));
  EXPECT_FALSE(driver.IoControl(handle, kVendorRequestIoControl, std::span(header, 5), out));
  const std::uint8_t badDirection[] = {0xC6, 2, 0, 0, 0, 0};
  EXPECT_FALSE(driver.IoControl(handle, kVendorRequestIoControl, badDirection, out));

  std::vector<std::uint8_t> tooLong(6 + 0x10000, 0);
  EXPECT_FALSE(driver.IoControl(handle, kVendorRequestIoControl, tooLong, {}));
  std::vector<std::uint8_t> bigOut(0x10000);
  const std::uint8_t in[] = {0xC6, 1, 0, 0, 0, 0};
  EXPECT_FALSE(driver.IoControl(handle, kVendorRequestIoControl, in, bigOut));
  EXPECT_TRUE(source.seen.empty());

  tooLong.resize(6 + 0xFFFF);
  EXPECT_TRUE(driver.IoControl(handle, kVendorRequestIoControl, tooLong, {}));
  EXPECT_EQ(source.seen.at(0).setup.wLength, 0xFFFF);
}

TEST_F(UsbCameraDriverTest, HandlesAreDistinctTableEntriesAndCloseForgetsThem) {
  source.boards = 2;
  NativeDeviceHandle first = 0, second = 0;
  std::string path;
  ASSERT_TRUE(driver.OpenInterface(0, first, path));
  ASSERT_TRUE(driver.OpenInterface(1, second, path));
  EXPECT_EQ(path, "scripted:1");
  EXPECT_NE(first, second);
  for (NativeDeviceHandle h : {first, second}) {
    EXPECT_NE(h, kNullDeviceHandle);
    EXPECT_NE(h, kInvalidDeviceHandle);
  }
  driver.Close(first);
  EXPECT_EQ(driver.OpenCount(), 1u);
  const std::uint8_t header[] = {0xC6, 0, 0, 0, 0, 0};
  EXPECT_FALSE(driver.IoControl(first, kVendorRequestIoControl, header, {}));
  EXPECT_TRUE(driver.IoControl(second, kVendorRequestIoControl, header, {}));
  driver.Close(first);  // twice: nothing happens
  EXPECT_EQ(driver.OpenCount(), 1u);
}

TEST_F(UsbCameraDriverTest, NoBoardMeansNullHandleAndFailedOpen) {
  source.boards = 0;
  DeviceHandle device{kInvalidDeviceHandle, &driver};
  std::array<char, 64> path{};
  path[0] = 'x';
  EXPECT_EQ(OpenCameraDevice(0, device, path), kOpenFailed);
  EXPECT_EQ(device.value, kNullDeviceHandle);
  EXPECT_EQ(path[0], 'x');
  EXPECT_EQ(FailureDetail(),
            "cannot open the camera: no device (looked for 04B4:8613 and 125C:0010)");
}

}  // namespace
}  // namespace vesk::usb
