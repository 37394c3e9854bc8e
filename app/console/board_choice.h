#pragma once
// Choosing the board a run writes: the list of attached boards, --device PATH|N, and a
// driver that opens the chosen board and no other.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/camera_driver.h"

namespace vesk::console {

// The path --device names: an entry's path as `list` prints it, or its index in the list.
// Nothing when neither matches.
std::optional<std::string> ChosenPath(const std::vector<BoardInfo>& boards, std::string_view device);

// One line of `list`: "emulated:0  04B4:8613  bare FX2", with "  bus 1 port 2" where the
// place is known.
std::string BoardLine(std::size_t index, const BoardInfo& board);

// `list --json`: {"tool", "version", "boards": [{"index", "path", "identity", "state",
// "location"}]}, the location null where the place is not known.
std::string BoardListJson(const std::vector<BoardInfo>& boards, std::string_view version);

// Opens only the board at `path`, whichever member the caller asks for: the member that
// has that path now. If boards came or went between the choice and the open so that the
// driver opens another board, that board is closed again at once and the open fails, as
// when the board has gone: no device, "the chosen board PATH is no longer attached".
class OneBoardDriver : public CameraDriver {
 public:
  OneBoardDriver(CameraDriver& inner, std::string path) : inner_(inner), path_(std::move(path)) {}

  DriverStatus OpenInterface(std::uint16_t memberIndex, NativeDeviceHandle& handle,
                             std::string& devicePath) override;
  DriverStatus IoControl(NativeDeviceHandle handle, std::uint32_t controlCode,
                         std::span<const std::uint8_t> input,
                         std::span<std::uint8_t> output) override {
    return inner_.IoControl(handle, controlCode, input, output);
  }
  void Close(NativeDeviceHandle handle) override { inner_.Close(handle); }
  // The chosen board, while it is attached.
  std::vector<BoardInfo> ListBoards() override;
  void WaitForBoardChange(std::chrono::milliseconds limit) override {
    inner_.WaitForBoardChange(limit);
  }

  const std::string& Path() const { return path_; }

 private:
  CameraDriver& inner_;
  std::string path_;
};

}  // namespace vesk::console
