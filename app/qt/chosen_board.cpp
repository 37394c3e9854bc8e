#include "app/qt/chosen_board.h"

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

  const PathOpen result = OpenBoardByPath(inner_, chosen, handle, devicePath);
  // Absent, or the list changed between the look and the open and another board answered.
  if (result == PathOpen::Absent || result == PathOpen::Replaced)
    NoteUsbFailure(UsbFailure::NoDevice, "the chosen board " + chosen + " is no longer attached");
  return result == PathOpen::Opened;
}

}  // namespace vesk::qt
