#pragma once
// The camera driver's I/O control served in user space: each request header becomes one
// USB vendor control transfer on the board's control endpoint.

#include <cstdint>
#include <map>
#include <memory>

#include "device/camera_driver.h"
#include "device/usb/usb_control_port.h"

namespace vesk::usb {

inline constexpr std::uint8_t kVendorOut = 0x40;  // vendor, device recipient, host to device
inline constexpr std::uint8_t kVendorIn = 0xC0;   // vendor, device recipient, device to host

// Whether `input` and `output` make a request CarryVendorRequest can carry: a 6-byte
// header with direction 0 or 1, and a data stage of at most 65,535 bytes.
bool IsWellFormedVendorRequest(std::span<const std::uint8_t> input, std::size_t outputSize);

// One request of I/O control 0xA7F873FC carried to `port` as a vendor control transfer:
// `input` is the 6-byte header (request, direction 0 or 1, wValue LE, wIndex LE) and,
// host to device, the data stage (at most 65,535 bytes). Direction 0: bmRequestType 0x40,
// `output` is left untouched and `returned` is 0. Direction 1: bmRequestType 0xC0,
// wLength = output.size() (at most 65,535), the reply lands at the start of `output` and
// `returned` counts it; an EEPROM read (0xC6) that comes back short fails. The header is
// read whole before `output` is written, so the two may share memory, as a kernel
// driver's buffered I/O has them. Ok only when the transfer ended with its status stage;
// otherwise the transfer's status (Other, "short transfer" / "short read" for lost data),
// or Other without a note for a request that is not well formed.
DriverStatus CarryVendorRequest(UsbControlPort& port, std::span<const std::uint8_t> input,
                                std::span<std::uint8_t> output, std::size_t& returned);

class UsbCameraDriver : public CameraDriver {
 public:
  // `source` must outlive the driver.
  explicit UsbCameraDriver(UsbBoardSource& source) : source_(source) {}

  // Handles are small positive integers into this driver's table of open ports.
  // The source's status when it opens nothing.
  DriverStatus OpenInterface(std::uint16_t memberIndex, NativeDeviceHandle& handle,
                             std::string& devicePath) override;

  // Accepts only code 0xA7F873FC on an open handle (otherwise Other) and carries it as
  // CarryVendorRequest does.
  DriverStatus IoControl(NativeDeviceHandle handle, std::uint32_t controlCode,
                         std::span<const std::uint8_t> input,
                         std::span<std::uint8_t> output) override;

  void Close(NativeDeviceHandle handle) override;

  std::vector<BoardInfo> ListBoards() override { return source_.ListBoards(); }
  void WaitForBoardChange(std::chrono::milliseconds limit) override {
    if (!source_.WaitForBoardChange(limit)) CameraDriver::WaitForBoardChange(limit);
  }

  std::size_t OpenCount() const { return ports_.size(); }

 private:
  UsbBoardSource& source_;
  std::map<NativeDeviceHandle, std::unique_ptr<UsbControlPort>> ports_;
  NativeDeviceHandle lastHandle_ = 0;
};

}  // namespace vesk::usb
