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

class UsbCameraDriver : public CameraDriver {
 public:
  // `source` must outlive the driver.
  explicit UsbCameraDriver(UsbBoardSource& source) : source_(source) {}

  // Handles are small positive integers into this driver's table of open ports.
  bool OpenInterface(std::uint16_t memberIndex, NativeDeviceHandle& handle,
                     std::string& devicePath) override;

  // Accepts only code 0xA7F873FC with an input of at least the 6-byte header (request,
  // direction 0 or 1, wValue LE, wIndex LE). Direction 0: bmRequestType 0x40, the data
  // stage is the input after the header (at most 65,535 bytes) and `output` is left
  // untouched. Direction 1: bmRequestType 0xC0, wLength = output.size() (at most
  // 65,535), the reply lands at the start of `output`; an EEPROM read (0xC6) that comes
  // back short fails. True only when the transfer ended with its status stage (a stall,
  // timeout or unplugged board is false); a failure's cause is noted with NoteUsbFailure.
  bool IoControl(NativeDeviceHandle handle, std::uint32_t controlCode,
                 std::span<const std::uint8_t> input, std::span<std::uint8_t> output) override;

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
