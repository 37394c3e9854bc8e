#pragma once
// The boards a driver can see, for choosing one before a run: what `vesk-update list`
// prints and what a dialog offers.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vesk {

enum class BoardState { BareFx2, CameraFirmware, ControlFirmware };

struct BoardInfo {
  std::string path;  // as OpenInterface reports it: "usb:1-2", "emulated:0", "\\?\usb#..."
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  BoardState state = BoardState::BareFx2;
  std::string location;  // "bus 1 port 2"; empty where the platform does not say
};

// The state a USB identity shows: 04B4:8613 is an FX2 without firmware; 125C:0010 runs
// firmware, ours when the device release is the control firmware's 0x0011, the camera's
// otherwise. Nothing for any other identity: that device is not a board.
std::optional<BoardState> BoardStateOf(std::uint16_t vendorId, std::uint16_t productId,
                                       std::uint16_t deviceRelease);

// "bare FX2", "camera firmware", "control firmware".
std::string_view BoardStateText(BoardState state);

// "04B4:8613".
std::string IdentityText(std::uint16_t vendorId, std::uint16_t productId);

}  // namespace vesk
