#pragma once
// --verbose: a driver that passes everything to the one below it and tells of each open
// and each vendor request as it completes (what it was, the result, how long it took).

#include <functional>
#include <string>

#include "device/camera_driver.h"

namespace vesk::console {

class TracingDriver : public CameraDriver {
 public:
  // `line` gets one line per request, without a line end, on the thread that made it.
  TracingDriver(CameraDriver& inner, std::function<void(const std::string&)> line)
      : inner_(inner), line_(std::move(line)) {}

  DriverStatus OpenInterface(std::uint16_t memberIndex, NativeDeviceHandle& handle,
                             std::string& devicePath) override;
  DriverStatus IoControl(NativeDeviceHandle handle, std::uint32_t controlCode,
                         std::span<const std::uint8_t> input,
                         std::span<std::uint8_t> output) override;
  void Close(NativeDeviceHandle handle) override;
  std::vector<BoardInfo> ListBoards() override { return inner_.ListBoards(); }
  void WaitForBoardChange(std::chrono::milliseconds limit) override {
    inner_.WaitForBoardChange(limit);
  }

 private:
  CameraDriver& inner_;
  std::function<void(const std::string&)> line_;
};

}  // namespace vesk::console
