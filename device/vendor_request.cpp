#include "device/vendor_request.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "device/failure_detail.h"
#include "device/stop_request.h"

namespace vesk {

std::string DescribeRequest(std::uint8_t request, bool hostToDevice, std::uint16_t index,
                            std::uint16_t value, std::uint32_t length) {
  char text[128];
  const char* direction = hostToDevice ? "write" : "read";
  if (request == kRequestEepromBlock) {
    std::snprintf(text, sizeof text, "request 0xC6 %s, chip %u, bank %u, offset 0x%04X, %u bytes",
                  direction, unsigned(value >> 8), unsigned(value & 0xFF), unsigned(index),
                  unsigned(length));
  } else if (request == kRequestFx2Load) {
    std::snprintf(text, sizeof text, "request 0xA0 %s, address 0x%04X, %u bytes", direction,
                  unsigned(value), unsigned(length));
  } else {
    std::snprintf(text, sizeof text, "request 0x%02X %s, value 0x%04X, index 0x%04X, %u bytes",
                  unsigned(request), direction, unsigned(value), unsigned(index), unsigned(length));
  }
  return text;
}

bool SendVendorRequest(DeviceHandle& handle, std::uint8_t request, std::uint8_t direction,
                       std::uint16_t index, std::uint16_t value, std::uint32_t length,
                       std::uint8_t* data) {
  const bool hostToDevice = direction == kHostToDevice;
  auto fail = [&](std::string_view why) {
    SetFailureDetail(DescribeRequest(request, hostToDevice, index, value, length) + ": " +
                     std::string(why));
    return false;
  };
  if (!handle.IsOpen()) return fail("the camera connection is not open");
  if (StopRequested()) return fail("stopped on request");
  const std::size_t inputSize = kRequestHeaderSize + (hostToDevice ? std::size_t{length} : 0);
  std::unique_ptr<std::uint8_t[]> input(new (std::nothrow) std::uint8_t[inputSize]);
  if (!input) return fail("no memory for the request");

  input[0] = request;
  input[1] = hostToDevice ? kHostToDevice : kDeviceToHost;
  input[2] = static_cast<std::uint8_t>(value & 0xFF);
  input[3] = static_cast<std::uint8_t>(value >> 8);
  input[4] = static_cast<std::uint8_t>(index & 0xFF);
  input[5] = static_cast<std::uint8_t>(index >> 8);
  if (hostToDevice && length != 0) std::memcpy(input.get() + kRequestHeaderSize, data, length);

  const DriverStatus status = handle.driver->IoControl(
      handle.value, kVendorRequestIoControl, {input.get(), inputSize}, {data, length});
  if (status.Ok()) return true;
  return fail(status.Text());
}

bool WriteEepromBlock(DeviceHandle& handle, std::uint8_t chip, std::uint8_t bank,
                      std::uint16_t offset, std::uint32_t length, const std::uint8_t* data) {
  const auto value = static_cast<std::uint16_t>(chip << 8 | bank);
  return SendVendorRequest(handle, kRequestEepromBlock, kHostToDevice, offset, value, length,
                           const_cast<std::uint8_t*>(data));
}

bool ReadEepromBlock(DeviceHandle& handle, std::uint8_t chip, std::uint8_t bank,
                     std::uint16_t offset, std::uint32_t length, std::uint8_t* data) {
  const auto value = static_cast<std::uint16_t>(chip << 8 | bank);
  return SendVendorRequest(handle, kRequestEepromBlock, kDeviceToHost, offset, value, length, data);
}

}  // namespace vesk
