#pragma once
// Watching a board through its power cycle, where the back end can list the boards: it
// must go away and come back, at its place, with the identity its new boot image declares.
// The answer to the power-cycle question is then what was seen, not what was hoped.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "device/camera_driver.h"

namespace vesk {

struct PowerCycleWatch {
  bool wentAway = false;              // the board at the path was gone at one look
  std::optional<BoardInfo> returned;  // what was at the path after that
  bool cameBack = false;              // returned, with the identity expected
};

// Lists the boards (WaitForBoardChange between two looks) until the one at `path` has gone
// and a board is at `path` again, or `limit` has passed, or `stop` returns true. A board
// that comes back with another identity ends the watch at once. Blocks.
PowerCycleWatch WatchPowerCycle(CameraDriver& driver, const std::string& path,
                                std::uint16_t vendorId, std::uint16_t productId,
                                std::chrono::duration<double> limit,
                                const std::function<bool()>& stop = {});

// What the watch saw, in one line for the operator: "came back as 125C:0010",
// "came back as 04B4:8613, not 125C:0010", "did not go away within 30 s (not
// power-cycled?)", "did not come back as 125C:0010 within 30 s".
std::string PowerCycleText(const PowerCycleWatch& watch, std::uint16_t vendorId,
                           std::uint16_t productId, std::chrono::duration<double> limit);

}  // namespace vesk
