#include "app/qt/chosen_board.h"

namespace vesk::qt {

void ChosenBoardDriver::Choose(std::string path) {
  std::lock_guard lock(mutex_);
  chosen_ = std::move(path);
}

DriverStatus ChosenBoardDriver::OpenInterface(std::uint16_t memberIndex,
                                              NativeDeviceHandle& handle,
                                              std::string& devicePath) {
  std::string chosen;
  {
    std::lock_guard lock(mutex_);
    chosen = chosen_;
  }
  if (chosen.empty()) return inner_.OpenInterface(memberIndex, handle, devicePath);
  return OpenBoardByPath(inner_, chosen, handle, devicePath);
}

}  // namespace vesk::qt
