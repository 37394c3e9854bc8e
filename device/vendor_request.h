#pragma once
// Vendor requests to the FX2, packed into the driver's 6-byte request header and carried
// by one I/O control code.

#include <cstdint>
#include <string>

#include "device/camera_driver.h"

namespace vesk {

// CTL_CODE(DeviceType, Function, Method, Access) as the Windows DDK defines it.
constexpr std::uint32_t MakeIoControlCode(std::uint32_t deviceType, std::uint32_t function,
                                          std::uint32_t method, std::uint32_t access) {
  return (deviceType << 16) | (access << 14) | (function << 2) | method;
}
inline constexpr std::uint32_t kMethodBuffered = 0;
inline constexpr std::uint32_t kFileReadAccess = 1;
inline constexpr std::uint32_t kVendorRequestIoControl =
    MakeIoControlCode(0xA7F8, 0xCFF, kMethodBuffered, kFileReadAccess);
static_assert(kVendorRequestIoControl == 0xA7F873FCu);

inline constexpr std::size_t kRequestHeaderSize = 6;
inline constexpr std::uint8_t kRequestFx2Load = 0xA0;
inline constexpr std::uint8_t kRequestEepromBlock = 0xC6;
inline constexpr std::uint8_t kHostToDevice = 0;
inline constexpr std::uint8_t kDeviceToHost = 1;

// Sends one vendor request. The header is: request, direction (0 or 1), value (LE),
// index (LE); host to device the `length` data bytes follow it in one heap copy.
// `data` is the output buffer in both directions (`length` bytes, caller's memory);
// device to host it receives the reply. False when the handle is not open, a stop was
// requested (device/stop_request.h; the driver is then not called), the copy cannot be
// made, or the driver's status is a failure; the cause, the request and the status's text,
// is then the thread's FailureDetail (device/failure_detail.h).
bool SendVendorRequest(DeviceHandle& handle, std::uint8_t request, std::uint8_t direction,
                       std::uint16_t index, std::uint16_t value, std::uint32_t length,
                       std::uint8_t* data);

// "request 0xC6 write, chip 1, bank 0, offset 0x0000, 200 bytes" (0xA0: the address;
// other codes: value and index), as failures and request traces name a request.
std::string DescribeRequest(std::uint8_t request, bool hostToDevice, std::uint16_t index,
                            std::uint16_t value, std::uint32_t length);

// Request 0xC6 host to device: value = chip * 256 + bank, index = offset.
// The driver never writes into the output buffer of a host-to-device request, so
// `data` is only read.
bool WriteEepromBlock(DeviceHandle& handle, std::uint8_t chip, std::uint8_t bank,
                      std::uint16_t offset, std::uint32_t length, const std::uint8_t* data);

// Request 0xC6 device to host: `length` bytes from (chip, bank, offset) into `data`.
bool ReadEepromBlock(DeviceHandle& handle, std::uint8_t chip, std::uint8_t bank,
                     std::uint16_t offset, std::uint32_t length, std::uint8_t* data);

}  // namespace vesk
