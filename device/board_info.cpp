#include "device/board_info.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "device/camera_driver.h"

namespace vesk {
namespace {

constexpr std::uint16_t kFx2VendorId = 0x04B4, kFx2ProductId = 0x8613;
constexpr std::uint16_t kCameraVendorId = 0x125C, kCameraProductId = 0x0010;
constexpr std::uint16_t kControlFirmwareRelease = 0x0011;

}  // namespace

std::optional<BoardState> BoardStateOf(std::uint16_t vendorId, std::uint16_t productId,
                                       std::uint16_t deviceRelease) {
  if (vendorId == kFx2VendorId && productId == kFx2ProductId) return BoardState::BareFx2;
  if (vendorId == kCameraVendorId && productId == kCameraProductId)
    return deviceRelease == kControlFirmwareRelease ? BoardState::ControlFirmware
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

PathOpen OpenBoardByPath(CameraDriver& driver, const std::string& path, NativeDeviceHandle& handle,
                         std::string& devicePath) {
  handle = kNullDeviceHandle;
  const std::vector<BoardInfo> boards = driver.ListBoards();
  const auto found = std::find_if(boards.begin(), boards.end(),
                                  [&](const BoardInfo& board) { return board.path == path; });
  if (found == boards.end()) return PathOpen::Absent;
  std::string opened;
  if (!driver.OpenInterface(static_cast<std::uint16_t>(found - boards.begin()), handle, opened))
    return PathOpen::OpenFailed;
  if (opened != path) {
    driver.Close(handle);
    handle = kNullDeviceHandle;
    return PathOpen::Replaced;
  }
  devicePath = std::move(opened);
  return PathOpen::Opened;
}

}  // namespace vesk
