#pragma once
// The driver as the window's runs see it: the run opens the board the operator chose (by
// its path, wherever it now sits in the list) and never another one that took its place.

#include <mutex>
#include <string>

#include "device/camera_driver.h"

namespace vesk::qt {

class ChosenBoardDriver : public CameraDriver {
 public:
  explicit ChosenBoardDriver(CameraDriver& inner) : inner_(inner) {}

  // Empty: whatever board the run asks for, as without a choice.
  void Choose(std::string path);

  DriverStatus OpenInterface(std::uint16_t memberIndex, NativeDeviceHandle& handle,
                             std::string& devicePath) override;
  DriverStatus IoControl(NativeDeviceHandle handle, std::uint32_t controlCode,
                         std::span<const std::uint8_t> input,
                         std::span<std::uint8_t> output) override {
    return inner_.IoControl(handle, controlCode, input, output);
  }
  void Close(NativeDeviceHandle handle) override { inner_.Close(handle); }
  std::vector<BoardInfo> ListBoards() override { return inner_.ListBoards(); }
  void WaitForBoardChange(std::chrono::milliseconds limit) override {
    inner_.WaitForBoardChange(limit);
  }

 private:
  CameraDriver& inner_;
  std::mutex mutex_;
  std::string chosen_;
};

}  // namespace vesk::qt
