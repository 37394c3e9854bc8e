#pragma once
// The driver as a run sees it once the operator has chosen a board: the run opens that
// board (by its path, wherever it now sits in the list) and never another one that took
// its place. Nothing chosen: whatever board the run asks for, as without this wrapper.

#include <mutex>
#include <string>

#include "device/camera_driver.h"

namespace vesk {

class ChosenBoardDriver : public CameraDriver {
 public:
  explicit ChosenBoardDriver(CameraDriver& inner, std::string path = {})
      : inner_(inner), chosen_(std::move(path)) {}

  // May be called while a run on another thread uses the driver; an empty path chooses
  // none.
  void Choose(std::string path);
  std::string Path() const;
  // The driver underneath, whose list holds every attached board.
  CameraDriver& Inner() { return inner_; }

  // With a choice: the chosen board's member, whichever the caller asks for. If boards
  // came or went between the choice and the open so that another board answers, that
  // board is closed again at once and the open fails as when the board has gone: no
  // device, "the chosen board PATH is no longer attached".
  DriverStatus OpenInterface(std::uint16_t memberIndex, NativeDeviceHandle& handle,
                             std::string& devicePath) override;
  DriverStatus IoControl(NativeDeviceHandle handle, std::uint32_t controlCode,
                         std::span<const std::uint8_t> input,
                         std::span<std::uint8_t> output) override {
    return inner_.IoControl(handle, controlCode, input, output);
  }
  void Close(NativeDeviceHandle handle) override { inner_.Close(handle); }
  // With a choice: the chosen board, while it is attached.
  std::vector<BoardInfo> ListBoards() override;
  void WaitForBoardChange(std::chrono::milliseconds limit) override {
    inner_.WaitForBoardChange(limit);
  }

 private:
  CameraDriver& inner_;
  mutable std::mutex mutex_;
  std::string chosen_;
};

}  // namespace vesk
