#include "device/chosen_board.h"

#include <algorithm>

namespace vesk {

void ChosenBoardDriver::Choose(std::string path) {
  const std::lock_guard lock(mutex_);
  chosen_ = std::move(path);
}

std::string ChosenBoardDriver::Path() const {
  const std::lock_guard lock(mutex_);
  return chosen_;
}

DriverStatus ChosenBoardDriver::OpenInterface(std::uint16_t memberIndex,
                                              NativeDeviceHandle& handle,
                                              std::string& devicePath) {
  const std::string chosen = Path();
  if (chosen.empty()) return inner_.OpenInterface(memberIndex, handle, devicePath);
  return OpenBoardByPath(inner_, chosen, handle, devicePath);
}

std::vector<BoardInfo> ChosenBoardDriver::ListBoards() {
  const std::string chosen = Path();
  std::vector<BoardInfo> boards = inner_.ListBoards();
  if (!chosen.empty())
    std::erase_if(boards, [&](const BoardInfo& board) { return board.path != chosen; });
  return boards;
}

}  // namespace vesk
