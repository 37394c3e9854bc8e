#include "run/power_cycle_watch.h"

#include <algorithm>
#include <cmath>

namespace vesk {

PowerCycleWatch WatchPowerCycle(CameraDriver& driver, const std::string& path,
                                std::uint16_t vendorId, std::uint16_t productId,
                                std::chrono::duration<double> limit,
                                const std::function<bool()>& stop) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  PowerCycleWatch watch;
  for (;;) {
    std::optional<BoardInfo> here;
    for (const BoardInfo& board : driver.ListBoards())
      if (board.path == path) here = board;
    if (!here) {
      watch.wentAway = true;
    } else if (watch.wentAway) {
      watch.returned = here;
      watch.cameBack = here->vendorId == vendorId && here->productId == productId;
      return watch;
    }
    const auto left = limit - (Clock::now() - start);
    if (left.count() <= 0 || (stop && stop())) return watch;
    driver.WaitForBoardChange(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::min<std::chrono::duration<double>>(left, std::chrono::milliseconds(500))));
  }
}

std::string PowerCycleText(const PowerCycleWatch& watch, std::uint16_t vendorId,
                           std::uint16_t productId, std::chrono::duration<double> limit) {
  const std::string expected = IdentityText(vendorId, productId);
  const std::string within =
      " within " + std::to_string(static_cast<long long>(std::ceil(limit.count()))) + " s";
  if (watch.returned) {
    const std::string seen = IdentityText(watch.returned->vendorId, watch.returned->productId);
    return watch.cameBack ? "came back as " + seen : "came back as " + seen + ", not " + expected;
  }
  if (!watch.wentAway) return "did not go away" + within + " (not power-cycled?)";
  return "did not come back as " + expected + within;
}

}  // namespace vesk
