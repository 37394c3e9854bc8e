#include "device/usb/usb_camera_driver.h"

#include <gtest/gtest.h>

#include <array>
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

// A control endpoint that records each transfer and answers from a script.
class ScriptedPort : public UsbControlPort {
 public:
  ScriptedPort(std::vector<Seen>& seen, TransferStatus status, std::vector<std::uint8_t> reply)
      : seen_(seen), status_(status), reply_(std::move(reply)) {}
  TransferResult ControlTransfer(const SetupPacket& setup, std::span<std::uint8_t> data) override {
    seen_.push_back({setup, {data.begin(), data.end()}});
    if (status_ != TransferStatus::Ok) return {status_, 0};
    if (setup.bmRequestType & 0x80) {
      const std::size_t n = std::min(reply_.size(), data.size());
      std::copy_n(reply_.begin(), n, data.begin());
      return {status_, static_cast<std::uint32_t>(n)};
    }
    return {status_, static_cast<std::uint32_t>(data.size())};
  }

 private:
  std::vector<Seen>& seen_;
  TransferStatus status_;
  std::vector<std::uint8_t> reply_;
};

class ScriptedSource : public UsbBoardSource {
 public:
  std::unique_ptr<UsbControlPort> OpenMember(std::uint16_t memberIndex,
                                             std::string& path) override {
    if (memberIndex >= boards) return nullptr;
    path = "scripted:" + std::to_string(memberIndex);
    return std::make_unique<ScriptedPort>(seen, status, reply);
  }
  std::uint16_t boards = 1;
  TransferStatus status = TransferStatus::Ok;
  std::vector<std::uint8_t> reply;
  std::vector<Seen> seen;
};

class UsbCameraDriverTest : public ::testing::Test {
 protected:
  void Open() {
    std::string path;
    ASSERT_TRUE(driver.OpenInterface(0, handle, path));
    EXPECT_EQ(path, "scripted:0");
  }
  ScriptedSource source;
  UsbCameraDriver driver{source};
  NativeDeviceHandle handle = kNullDeviceHandle;
};

TEST_F(UsbCameraDriverTest, HostToDeviceHeaderBecomesVendorOutTransfer) {
  Open();
  DeviceHandle device{handle, &driver};
  std::vector<std::uint8_t> data(16);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i + 1);
  const std::vector<std::uint8_t> before = data;
  ASSERT_TRUE(WriteEepromBlock(device, 1, 0, 0x0100, 16, data.data()));

  ASSERT_EQ(source.seen.size(), 1u);
  const SetupPacket& setup = source.seen[0].setup;
  EXPECT_EQ(setup.bmRequestType, 0x40);
  EXPECT_EQ(setup.bRequest, 0xC6);
  EXPECT_EQ(setup.wValue, 0x0100);
  EXPECT_EQ(setup.wIndex, 0x0100);
  EXPECT_EQ(setup.wLength, 16);
  EXPECT_EQ(source.seen[0].data, before);
  EXPECT_EQ(data, before) << "host to device never writes the output buffer";
}

TEST_F(UsbCameraDriverTest, DeviceToHostFillsOutputWithTheReply) {
  source.reply = {0xDE, 0xAD, 0xBE, 0xEF};
  Open();
  DeviceHandle device{handle, &driver};
  std::vector<std::uint8_t> out(4, 0);
  ASSERT_TRUE(SendVendorRequest(device, 0xA0, 2, 0, 0x1234, 4, out.data()));
  const SetupPacket& setup = source.seen.at(0).setup;
  EXPECT_EQ(setup.bmRequestType, 0xC0);
  EXPECT_EQ(setup.bRequest, 0xA0);
  EXPECT_EQ(setup.wValue, 0x1234);
  EXPECT_EQ(setup.wIndex, 0);
  EXPECT_EQ(setup.wLength, 4);
  EXPECT_EQ(out, source.reply);
}

TEST_F(UsbCameraDriverTest, ShortReplyWritesOnlyWhatCameBackAndNeverPastTheSpan) {
  source.reply = {1, 2};
  Open();
  std::vector<std::uint8_t> buffer(8, 0x55);
  const std::uint8_t header[] = {0xA0, 1, 0, 0, 0, 0};
  ASSERT_TRUE(
      driver.IoControl(handle, kVendorRequestIoControl, header, std::span(buffer).subspan(2, 4)));
  EXPECT_EQ(buffer, (std::vector<std::uint8_t>{0x55, 0x55, 1, 2, 0x55, 0x55, 0x55, 0x55}));

  // The firmware sends a whole EEPROM read or stalls: a short one would be lost data.
  DeviceHandle device{handle, &driver};
  EXPECT_FALSE(ReadEepromBlock(device, 0, 3, 0x10, 4, buffer.data()));
  EXPECT_EQ(FailureDetail(),
            "request 0xC6 read, chip 0, bank 3, offset 0x0010, 4 bytes: failed (short read)");
}

TEST_F(UsbCameraDriverTest, FailuresCarryWhatTheUsbLayerSaid) {
  const std::vector<std::pair<TransferStatus, std::string>> cases = {
      {TransferStatus::Stall, "stall"},
      {TransferStatus::Timeout, "timeout"},
      {TransferStatus::NoDevice, "no device"},
      {TransferStatus::Error, "failed"}};
  for (const auto& [status, said] : cases) {
    source.status = status;
    Open();
    DeviceHandle device{handle, &driver};
    std::uint8_t byte = 0;
    EXPECT_FALSE(WriteEepromBlock(device, 1, 5, 0x7FFF, 1, &byte));
    EXPECT_EQ(FailureDetail(),
              "request 0xC6 write, chip 1, bank 5, offset 0x7FFF, 1 bytes: " + said);
  }
  source.boards = 0;
  DeviceHandle device{kNullDeviceHandle, &driver};
  std::array<char, 64> path{};
  EXPECT_EQ(OpenCameraDevice(0, device, path), kOpenFailed);
  EXPECT_EQ(FailureDetail(),
            "cannot open the camera: no device (looked for 04B4:8613 and 125C:0010)");
}

TEST_F(UsbCameraDriverTest, RefusesBadCodesHeadersAndLengthsWithoutTransfer) {
  Open();
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

TEST_F(UsbCameraDriverTest, FailedTransfersAreFailures) {
  for (TransferStatus status : {TransferStatus::Stall, TransferStatus::Timeout,
                                TransferStatus::NoDevice, TransferStatus::Error}) {
    source.status = status;
    Open();
    const std::uint8_t header[] = {0xC6, 0, 0, 0, 0, 0};
    EXPECT_FALSE(driver.IoControl(handle, kVendorRequestIoControl, header, {}));
    driver.Close(handle);
  }
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
}

}  // namespace
}  // namespace vesk::usb
