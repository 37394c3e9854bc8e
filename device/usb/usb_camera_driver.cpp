#include "device/usb/usb_camera_driver.h"

#include <algorithm>
#include <vector>

#include "device/failure_detail.h"
#include "device/vendor_request.h"

namespace vesk::usb {
namespace {

constexpr std::size_t kMaxDataStage = 0xFFFF;

std::uint16_t LittleEndianWord(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

// Records what the port said about a transfer that failed; false for the caller to return.
bool Failed(TransferStatus status) {
  switch (status) {
    case TransferStatus::Stall:
      NoteUsbFailure(UsbFailure::Stall);
      break;
    case TransferStatus::Timeout:
      NoteUsbFailure(UsbFailure::Timeout);
      break;
    case TransferStatus::NoDevice:
      NoteUsbFailure(UsbFailure::NoDevice);
      break;
    case TransferStatus::Ok:
    case TransferStatus::Error:
      NoteUsbFailure(UsbFailure::Other);
      break;
  }
  return false;
}

}  // namespace

bool UsbCameraDriver::OpenInterface(std::uint16_t memberIndex, NativeDeviceHandle& handle,
                                    std::string& devicePath) {
  handle = kNullDeviceHandle;
  std::string path;
  NoteUsbFailure(UsbFailure::None);
  std::unique_ptr<UsbControlPort> port = source_.OpenMember(memberIndex, path);
  if (!port) {
    if (LastUsbFailure() == UsbFailure::None) NoteUsbFailure(UsbFailure::NoDevice, kNoBoardNote);
    return false;
  }
  do {
    ++lastHandle_;
  } while (lastHandle_ == kNullDeviceHandle || lastHandle_ == kInvalidDeviceHandle ||
           ports_.contains(lastHandle_));
  handle = lastHandle_;
  ports_.emplace(handle, std::move(port));
  devicePath = std::move(path);
  return true;
}

bool UsbCameraDriver::IoControl(NativeDeviceHandle handle, std::uint32_t controlCode,
                                std::span<const std::uint8_t> input,
                                std::span<std::uint8_t> output) {
  const auto found = ports_.find(handle);
  if (found == ports_.end()) return false;
  if (controlCode != kVendorRequestIoControl) return false;
  std::size_t returned = 0;
  return CarryVendorRequest(*found->second, input, output, returned);
}

bool CarryVendorRequest(UsbControlPort& port, std::span<const std::uint8_t> input,
                        std::span<std::uint8_t> output, std::size_t& returned) {
  returned = 0;
  if (input.size() < kRequestHeaderSize) return false;

  const std::uint8_t direction = input[1];
  if (direction != kHostToDevice && direction != kDeviceToHost) return false;
  SetupPacket setup{};
  setup.bRequest = input[0];
  setup.wValue = LittleEndianWord(input, 2);
  setup.wIndex = LittleEndianWord(input, 4);

  if (direction == kHostToDevice) {
    const std::span<const std::uint8_t> payload = input.subspan(kRequestHeaderSize);
    if (payload.size() > kMaxDataStage) return false;
    setup.bmRequestType = kVendorOut;
    setup.wLength = static_cast<std::uint16_t>(payload.size());
    // The port may use its buffer as scratch; the caller's input stays untouched.
    std::vector<std::uint8_t> data(payload.begin(), payload.end());
    const TransferResult result = port.ControlTransfer(setup, data);
    if (result.status != TransferStatus::Ok) return Failed(result.status);
    if (result.actualLength != payload.size()) {
      NoteUsbFailure(UsbFailure::Other, "short transfer");
      return false;
    }
    return true;
  }

  if (output.size() > kMaxDataStage) return false;
  setup.bmRequestType = kVendorIn;
  setup.wLength = static_cast<std::uint16_t>(output.size());
  std::vector<std::uint8_t> reply(output.size());
  const TransferResult result = port.ControlTransfer(setup, reply);
  if (result.status != TransferStatus::Ok) return Failed(result.status);
  const std::size_t received = std::min<std::size_t>(result.actualLength, reply.size());
  // The control firmware sends every byte of an EEPROM read or stalls; a short one is lost
  // data, not a shorter answer.
  if (setup.bRequest == kRequestEepromBlock && received < reply.size()) {
    NoteUsbFailure(UsbFailure::Other, "short read");
    return false;
  }
  std::copy_n(reply.begin(), received, output.begin());
  returned = received;
  return true;
}

void UsbCameraDriver::Close(NativeDeviceHandle handle) {
  ports_.erase(handle);
}

}  // namespace vesk::usb
