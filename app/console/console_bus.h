#pragma once
// The boards a run can reach: the emulated boards on their bus ("emulated:0" to
// "emulated:N-1"), or the platform's real back end.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/console/console_app.h"
#include "app/console/console_options.h"
#include "device/camera_driver.h"
#include "device/back_ends/back_ends.h"
#include "sim/board/emulated_board.h"

namespace vesk::console {

// One emulated board: it is the board, so it can answer the power-cycle question by
// itself.
struct EmulatedSlot {
  explicit EmulatedSlot(sim::board::EmulatedBoard& emulated) : board(emulated) {}

  sim::board::EmulatedBoard& board;
  sim::SimTime runTime = 0;
  std::optional<sim::board::BootReport> boot;
  std::uint64_t ledToggles = 0;
  sim::SimTime watched = 0;

  // Power-cycles the board and watches its LED for a while; true when it blinks.
  bool PowerCycleAndWatch();
  // The run's time on the board, up to the power cycle.
  sim::SimTime BoardTime() const { return boot ? runTime : board.Now(); }
};

// What the board told at its power cycle: "booted the C2 image".
std::string_view BootText(sim::board::BootKind kind);

// The emulated boards on their bus, "emulated:0" to "emulated:N-1": the "emulated" back
// end's, each in a slot.
struct EmulatedBus {
  std::unique_ptr<BackEnd> backEnd;
  std::vector<std::unique_ptr<EmulatedSlot>> slots;
  std::function<void(const sim::board::EmulatedBoard&)> inspect;

  EmulatedBus(unsigned count, std::function<void(const sim::board::EmulatedBoard&)> inspector);
  EmulatedBus(const EmulatedBus&) = delete;
  EmulatedBus& operator=(const EmulatedBus&) = delete;
  // Shows each board to `inspect`, in order.
  ~EmulatedBus();
  EmulatedSlot* ByPath(std::string_view path);
  CameraDriver& Driver() { return backEnd->Driver(); }
};

// The run's way to its boards: `driver` is the emulated bus's or the real back end's.
struct ConsoleBus {
  std::unique_ptr<EmulatedBus> emulated;
  std::unique_ptr<BackEnd> real;
  CameraDriver* driver = nullptr;
};

// Makes the bus --board names: the emulated boards with --eeprom-in loaded into the
// chosen one and prepared by the environment, or the platform's back end (after turning
// on its debug messages with -vv). The usage error's message when that cannot be: no such
// emulated board, an EEPROM image that cannot be read or has the wrong size, a back end
// this platform lacks.
std::optional<std::string> MakeBus(ConsoleEnvironment& env, const Options& options,
                                   ConsoleBus& bus);

}  // namespace vesk::console
