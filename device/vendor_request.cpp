#include "device/vendor_request.h"

#include <cstring>
#include <memory>
#include <new>

#include "device/stop_request.h"

namespace vesk {

bool SendVendorRequest(DeviceHandle& handle, std::uint8_t request, std::uint8_t direction,
                       std::uint16_t index, std::uint16_t value, std::uint32_t length,
                       std::uint8_t* data) {
  if (!handle.IsOpen() || StopRequested()) return false;
  const bool hostToDevice = direction == kHostToDevice;
  const std::size_t inputSize = kRequestHeaderSize + (hostToDevice ? std::size_t{length} : 0);
  std::unique_ptr<std::uint8_t[]> input(new (std::nothrow) std::uint8_t[inputSize]);
  if (!input) return false;

  input[0] = request;
  input[1] = hostToDevice ? kHostToDevice : kDeviceToHost;
  input[2] = static_cast<std::uint8_t>(value & 0xFF);
  input[3] = static_cast<std::uint8_t>(value >> 8);
  input[4] = static_cast<std::uint8_t>(index & 0xFF);
  input[5] = static_cast<std::uint8_t>(index >> 8);
  if (hostToDevice && length != 0) std::memcpy(input.get() + kRequestHeaderSize, data, length);

  return handle.driver->IoControl(handle.value, kVendorRequestIoControl,
                                  {input.get(), inputSize}, {data, length});
}

bool WriteEepromBlock(DeviceHandle& handle, std::uint8_t chip, std::uint8_t bank,
                      std::uint16_t offset, std::uint32_t length, const std::uint8_t* data) {
  const auto value = static_cast<std::uint16_t>(chip << 8 | bank);
  return SendVendorRequest(handle, kRequestEepromBlock, kHostToDevice, offset, value, length,
                           const_cast<std::uint8_t*>(data));
}

}  // namespace vesk
