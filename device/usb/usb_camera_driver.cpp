#include "device/usb/usb_camera_driver.h"

#include <algorithm>
#include <vector>

#include "device/vendor_request.h"

namespace vesk::usb {
namespace {

constexpr std::size_t kMaxDataStage = 0xFFFF;

std::uint16_t LittleEndianWord(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

}  // namespace

DriverStatus UsbCameraDriver::OpenInterface(std::uint16_t memberIndex, NativeDeviceHandle& handle,
                                            std::string& devicePath) {
  handle = kNullDeviceHandle;
  std::string path;
  std::unique_ptr<UsbControlPort> port;
  const DriverStatus status = source_.OpenMember(memberIndex, port, path);
  if (!status.Ok()) return status;
  if (!port) return Failure(StatusKind::NoDevice, std::string(kNoBoardNote));
  do {
    ++lastHandle_;
  } while (lastHandle_ == kNullDeviceHandle || lastHandle_ == kInvalidDeviceHandle ||
           ports_.contains(lastHandle_));
  handle = lastHandle_;
  ports_.emplace(handle, std::move(port));
  devicePath = std::move(path);
  return {};
}

DriverStatus UsbCameraDriver::IoControl(NativeDeviceHandle handle, std::uint32_t controlCode,
                                        std::span<const std::uint8_t> input,
                                        std::span<std::uint8_t> output) {
  const auto found = ports_.find(handle);
  if (found == ports_.end()) return Failure(StatusKind::Other);
  if (controlCode != kVendorRequestIoControl) return Failure(StatusKind::Other);
  std::size_t returned = 0;
  return CarryVendorRequest(*found->second, input, output, returned);
}

bool IsWellFormedVendorRequest(std::span<const std::uint8_t> input, std::size_t outputSize) {
  if (input.size() < kRequestHeaderSize) return false;
  if (input[1] == kHostToDevice) return input.size() - kRequestHeaderSize <= kMaxDataStage;
  return input[1] == kDeviceToHost && outputSize <= kMaxDataStage;
}

DriverStatus CarryVendorRequest(UsbControlPort& port, std::span<const std::uint8_t> input,
                                std::span<std::uint8_t> output, std::size_t& returned) {
  returned = 0;
  if (!IsWellFormedVendorRequest(input, output.size())) return Failure(StatusKind::Other);

  const std::uint8_t direction = input[1];
  SetupPacket setup{};
  setup.bRequest = input[0];
  setup.wValue = LittleEndianWord(input, 2);
  setup.wIndex = LittleEndianWord(input, 4);

  if (direction == kHostToDevice) {
    const std::span<const std::uint8_t> payload = input.subspan(kRequestHeaderSize);
    setup.bmRequestType = kVendorOut;
    setup.wLength = static_cast<std::uint16_t>(payload.size());
    // The port may use its buffer as scratch; the caller's input stays untouched.
    std::vector<std::uint8_t> data(payload.begin(), payload.end());
    const TransferResult result = port.ControlTransfer(setup, data);
    if (result.status != TransferStatus::Ok) return Failure(result.status);
    if (result.actualLength != payload.size())
      return Failure(StatusKind::Other, "short transfer");
    return {};
  }

  setup.bmRequestType = kVendorIn;
  setup.wLength = static_cast<std::uint16_t>(output.size());
  std::vector<std::uint8_t> reply(output.size());
  const TransferResult result = port.ControlTransfer(setup, reply);
  if (result.status != TransferStatus::Ok) return Failure(result.status);
  const std::size_t received = std::min<std::size_t>(result.actualLength, reply.size());
  // The control firmware sends every byte of an EEPROM read or stalls; a short one is lost
  // data, not a shorter answer.
  if (setup.bRequest == kRequestEepromBlock && received < reply.size())
    return Failure(StatusKind::Other, "short read");
  std::copy_n(reply.begin(), received, output.begin());
  returned = received;
  return {};
}

void UsbCameraDriver::Close(NativeDeviceHandle handle) {
  ports_.erase(handle);
}

}  // namespace vesk::usb
