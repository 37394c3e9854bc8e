#include "device/usb/usb_camera_driver.h"

#include <gtest/gtest.h>

#include <vector>

#include "device/device_connection.h"
#include "device/failure_detail.h"
#include "device/usb/tests/scripted_port.h"
#include "device/vendor_request.h"

namespace vesk::usb {
namespace {

// One scripted board, member 0; an open of it fails with `refusal` when that is set.
class ScriptedSource : public UsbBoardSource {
 public:
  struct Member : UsbControlPort {
    ScriptedPort& board;
    explicit Member(ScriptedPort& b) : board(b) {}
    TransferResult ControlTransfer(const SetupPacket& s, std::span<std::uint8_t> d) override {
      return board.ControlTransfer(s, d);
    }
  };
  DriverStatus OpenMember(std::uint16_t member, std::unique_ptr<UsbControlPort>& port,
                          std::string& path) override {
    if (member > 0) return Failure(StatusKind::NoDevice, std::string(kNoBoardNote));
    if (!refusal.Ok()) return refusal;
    path = "scripted:0";
    port = std::make_unique<Member>(board);
    return {};
  }
  ScriptedPort board;
  DriverStatus refusal;
};

class UsbCameraDriverTest : public ::testing::Test {
 protected:
  NativeDeviceHandle Open() {
    NativeDeviceHandle handle = kNullDeviceHandle;
    std::string path;
    EXPECT_TRUE(driver.OpenInterface(0, handle, path).Ok());
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
    TransferResult answer;
    std::vector<std::uint8_t> buffer;  // after the call; written as 1, 2, 3, 4
    std::string detail;                // after a failure; "" for success
  };
  const std::string write = "request 0xC6 write, chip 1, bank 5, offset 0x7FFC, 4 bytes: ";
  const std::string read = "request 0xC6 read, chip 1, bank 5, offset 0x7FFC, 4 bytes: ";
  const std::vector<std::uint8_t> untouched = {0x55, 0x55, 1, 2, 3, 4, 0x55, 0x55};
  const Row rows[] = {
      {0xC6, kHostToDevice, {TransferStatus::Ok, 4}, untouched, ""},
      {0xC6, kHostToDevice, {TransferStatus::Ok, 3}, untouched, write + "failed (short transfer)"},
      {0xC6, kHostToDevice, {TransferStatus::Stall, 0}, untouched, write + "stall"},
      {0xC6, kHostToDevice, {TransferStatus::Timeout, 0}, untouched, write + "timeout"},
      {0xC6, kHostToDevice, {TransferStatus::NoDevice, 0}, untouched, write + "no device"},
      {0xC6, kHostToDevice, {TransferStatus::AccessDenied, 0}, untouched, write + "access denied"},
      {0xC6, kHostToDevice, {TransferStatus::Busy, 0}, untouched, write + "busy"},
      {0xC6, kHostToDevice, {TransferStatus::Other, 0}, untouched, write + "failed"},
      {0xC6, kDeviceToHost, {TransferStatus::Ok, 4}, {0x55, 0x55, 0xA0, 0xA1, 0xA2, 0xA3, 0x55, 0x55}, ""},
      // The firmware sends a whole EEPROM read or stalls: a short one would be lost data.
      {0xC6, kDeviceToHost, {TransferStatus::Ok, 2}, untouched, read + "failed (short read)"},
      {0xC6, kDeviceToHost, {TransferStatus::Stall, 0}, untouched, read + "stall"},
      // Other requests may answer with fewer bytes: only those are written.
      {0xA0, kDeviceToHost, {TransferStatus::Ok, 2}, {0x55, 0x55, 0xA0, 0xA1, 3, 4, 0x55, 0x55}, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << "row " << (&row - rows));
    source.board.answers = {row.answer};
    source.board.seen.clear();
    DeviceHandle device{Open(), &driver};
    std::vector<std::uint8_t> buffer = untouched;
    EXPECT_EQ(SendVendorRequest(device, row.request, row.direction, 0x7FFC, 0x0105, 4,
                                buffer.data() + 2),
              row.detail.empty());
    EXPECT_EQ(buffer, row.buffer);
    EXPECT_EQ(row.detail.empty() ? "" : std::string(FailureDetail()), row.detail);
    ASSERT_EQ(source.board.seen.size(), 1u);
    const auto& [setup, data] = source.board.seen[0];
    EXPECT_EQ(std::vector<int>({setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex,
                                setup.wLength}),
              std::vector<int>({row.direction == kHostToDevice ? 0x40 : 0xC0, row.request, 0x0105,
                                0x7FFC, 4}));
    if (row.direction == kHostToDevice) {
      EXPECT_EQ(data, (std::vector<std::uint8_t>{1, 2, 3, 4}));
    }
    driver.Close(device.value);
  }
}

// A refused request fails as Other without a note: "failed", as the request's cause.
bool Refused(const DriverStatus& status) {
  return status.kind == StatusKind::Other && status.note.empty();
}

// Nothing unfit reaches the board: a wrong code, a short header, a bad direction, a data
// stage longer than a control transfer carries, a handle never opened or already closed.
TEST_F(UsbCameraDriverTest, RefusesBadCodesHeadersLengthsAndHandlesWithoutTransfer) {
  const NativeDeviceHandle handle = Open();
  std::vector<std::uint8_t> out(4), tooLong(6 + 0x10000, 0), bigOut(0x10000);
  const std::uint8_t header[] = {0xC6, 0, 0, 0, 0, 0};
  const std::uint8_t badDirection[] = {0xC6, 2, 0, 0, 0, 0};
  const std::uint8_t in[] = {0xC6, 1, 0, 0, 0, 0};
  EXPECT_TRUE(Refused(driver.IoControl(handle, 0xA7F873F8, header, out)));
  EXPECT_TRUE(Refused(driver.IoControl(handle, kVendorRequestIoControl, std::span(header, 5), out)));
  EXPECT_TRUE(Refused(driver.IoControl(handle, kVendorRequestIoControl, badDirection, out)));
  EXPECT_TRUE(Refused(driver.IoControl(handle, kVendorRequestIoControl, tooLong, {})));
  EXPECT_TRUE(Refused(driver.IoControl(handle, kVendorRequestIoControl, in, bigOut)));
  EXPECT_TRUE(Refused(driver.IoControl(handle + 1, kVendorRequestIoControl, header, {})));
  EXPECT_TRUE(source.board.seen.empty());

  tooLong.resize(6 + 0xFFFF);
  EXPECT_TRUE(driver.IoControl(handle, kVendorRequestIoControl, tooLong, {}).Ok());
  EXPECT_EQ(source.board.seen.at(0).first.wLength, 0xFFFF);
  driver.Close(handle);
  EXPECT_TRUE(Refused(driver.IoControl(handle, kVendorRequestIoControl, header, {})));
  EXPECT_EQ(driver.OpenCount(), 0u);
}

// The open's cause as the operator reads it, from the source's status.
TEST_F(UsbCameraDriverTest, OpenFailuresNameTheSourcesStatus) {
  const struct {
    std::uint16_t member;
    DriverStatus refusal;
    std::string detail;
  } rows[] = {
      {1, {}, "cannot open the camera: no device (" + std::string(kNoBoardNote) + ")"},
      {0, Failure(StatusKind::Busy, "usb:1-2; another program holds the board"),
       "cannot open the camera: busy (usb:1-2; another program holds the board)"},
      {0, Failure(StatusKind::AccessDenied), "cannot open the camera: access denied"},
      // A bare failure adds nothing to "cannot open".
      {0, Failure(StatusKind::Other), "cannot open the camera"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.detail);
    source.refusal = row.refusal;
    DeviceHandle device{kNullDeviceHandle, &driver};
    char path[32];
    ClearFailureDetail();
    EXPECT_EQ(OpenCameraDevice(row.member, device, path), kOpenFailed);
    EXPECT_EQ(FailureDetail(), row.detail);
    EXPECT_EQ(device.value, kNullDeviceHandle);
    EXPECT_EQ(driver.OpenCount(), 0u);
  }
}

}  // namespace
}  // namespace vesk::usb
