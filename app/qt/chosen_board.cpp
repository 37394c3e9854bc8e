#include "app/qt/chosen_board.h"

#include <algorithm>

#include "device/failure_detail.h"

namespace vesk::qt {

void ChosenBoardDriver::Choose(std::string path) {
  std::lock_guard lock(mutex_);
  chosen_ = std::move(path);
}

bool ChosenBoardDriver::OpenInterface(std::uint16_t memberIndex, NativeDeviceHandle& handle,
                                      std::string& devicePath) {
  std::string chosen;
  {
    std::lock_guard lock(mutex_);
    chosen = chosen_;
  }
  if (chosen.empty()) return inner_.OpenInterface(memberIndex, handle, devicePath);

  handle = kNullDeviceHandle;
  const std::vector<BoardInfo> boards = inner_.ListBoards();
  const auto board = std::find_if(boards.begin(), boards.end(),
                                  [&](const BoardInfo& info) { return info.path == chosen; });
  if (board == boards.end()) {
    NoteUsbFailure(UsbFailure::NoDevice, "the chosen board " + chosen + " is no longer attached");
    return false;
  }
  const auto index = static_cast<std::uint16_t>(board - boards.begin());
  if (!inner_.OpenInterface(index, handle, devicePath)) return false;
  if (devicePath == chosen) return true;
  // The list changed between the look and the open: that is another board.
  NoteUsbFailure(UsbFailure::NoDevice, "the chosen board " + chosen + " is no longer attached");
  inner_.Close(handle);
  handle = kNullDeviceHandle;
  return false;
}

}  // namespace vesk::qt
