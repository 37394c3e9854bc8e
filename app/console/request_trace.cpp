#include "app/console/request_trace.h"

#include <chrono>
#include <cstdio>

#include "device/vendor_request.h"

namespace vesk::console {
namespace {

using Clock = std::chrono::steady_clock;

std::string Took(Clock::time_point start) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms",
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  return text;
}

std::string Result(const DriverStatus& status) {
  return status.Ok() ? "ok" : std::string(StatusKindText(status.kind));
}

}  // namespace

DriverStatus TracingDriver::OpenInterface(std::uint16_t memberIndex, NativeDeviceHandle& handle,
                                          std::string& devicePath) {
  const Clock::time_point start = Clock::now();
  DriverStatus status = inner_.OpenInterface(memberIndex, handle, devicePath);
  line_("open member " + std::to_string(memberIndex) +
        (status.Ok() ? " (" + devicePath + ")" : "") + ": " + Result(status) + ", " + Took(start));
  return status;
}

DriverStatus TracingDriver::IoControl(NativeDeviceHandle handle, std::uint32_t controlCode,
                                      std::span<const std::uint8_t> input,
                                      std::span<std::uint8_t> output) {
  const Clock::time_point start = Clock::now();
  DriverStatus status = inner_.IoControl(handle, controlCode, input, output);
  std::string what;
  if (controlCode == kVendorRequestIoControl && input.size() >= kRequestHeaderSize) {
    const bool hostToDevice = input[1] == kHostToDevice;
    what = DescribeRequest(input[0], hostToDevice, static_cast<std::uint16_t>(input[4] | input[5] << 8),
                           static_cast<std::uint16_t>(input[2] | input[3] << 8),
                           static_cast<std::uint32_t>(hostToDevice ? input.size() - kRequestHeaderSize
                                                                   : output.size()));
  } else {
    char text[64];
    std::snprintf(text, sizeof text, "I/O control 0x%08X, %zu bytes in", unsigned(controlCode),
                  input.size());
    what = text;
  }
  line_(what + ": " + Result(status) + ", " + Took(start));
  return status;
}

void TracingDriver::Close(NativeDeviceHandle handle) {
  inner_.Close(handle);
  line_("close");
}

}  // namespace vesk::console
