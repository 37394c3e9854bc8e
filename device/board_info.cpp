#include "device/board_info.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "device/camera_driver.h"
#include "device/identities.h"

namespace vesk {

std::optional<BoardState> BoardStateOf(std::uint16_t vendorId, std::uint16_t productId,
                                       std::uint16_t deviceRelease) {
  if (vendorId == kBareFx2Identity.vendorId && productId == kBareFx2Identity.productId)
    return BoardState::BareFx2;
  if (vendorId == kCameraIdentity.vendorId && productId == kCameraIdentity.productId)
    return deviceRelease == kDeviceId ? BoardState::ControlFirmware
                                      : BoardState::CameraFirmware;
  return std::nullopt;
}

std::string_view BoardStateText(BoardState state) {
  switch (state) {
    case BoardState::BareFx2:
      return "bare FX2";
    case BoardState::CameraFirmware:
      return "camera firmware";
    case BoardState::ControlFirmware:
      return "control firmware";
  }
  return "";
}

void CameraDriver::WaitForBoardChange(std::chrono::milliseconds limit) {
  std::this_thread::sleep_for(std::clamp(limit, std::chrono::milliseconds(0), kBoardPollInterval));
}

std::string IdentityText(std::uint16_t vendorId, std::uint16_t productId) {
  char text[10];
  std::snprintf(text, sizeof text, "%04X:%04X", unsigned(vendorId), unsigned(productId));
  return text;
}

DriverStatus OpenBoardByPath(CameraDriver& driver, const std::string& path,
                             NativeDeviceHandle& handle, std::string& devicePath) {
  handle = kNullDeviceHandle;
  const DriverStatus gone = Failure(StatusKind::NoDevice, "the chosen board " + path +
                                                              " is no longer attached");
  const std::vector<BoardInfo> boards = driver.ListBoards();
  const auto found = std::find_if(boards.begin(), boards.end(),
                                  [&](const BoardInfo& board) { return board.path == path; });
  if (found == boards.end()) return gone;
  std::string opened;
  DriverStatus status =
      driver.OpenInterface(static_cast<std::uint16_t>(found - boards.begin()), handle, opened);
  if (!status.Ok()) return status;
  if (opened != path) {
    driver.Close(handle);
    handle = kNullDeviceHandle;
    return gone;
  }
  devicePath = std::move(opened);
  return {};
}

}  // namespace vesk
