#pragma once
// The run that initialises the board: the one board chosen, or with --all every attached
// board at once, each on its own thread.

#include <vector>

#include "app/console/console_app.h"
#include "app/console/console_bus.h"
#include "app/console/console_host.h"
#include "app/console/console_options.h"
#include "app/console/run_report.h"
#include "images/image_downloads.h"
#include "run/update_sequence.h"

namespace vesk::console {

// One board's run and what the report keeps of it.
struct BoardOutcome {
  RunOutcome outcome = RunOutcome::Failed;
  BoardReport report;
};

int ExitStatusOf(RunOutcome outcome);

// Runs the initialisation on `driver` with `host` and tells what the report keeps of it.
// `chosen`: the board as it was listed; `emulated`: its emulated board.
BoardOutcome RunBoard(ConsoleHost& host, CameraDriver& driver, const BoardInfo* chosen,
                      const EmulatedSlot* emulated, const ImageSnapshot& images);

// Every board of `boards` at once, each with its own driver, state and log; then (unless
// -q) one summary row per board. Each board's record goes into `report`. Returns the exit
// status: successful when every board is, failed when one has failed, cancelled otherwise.
int RunAllBoards(ConsoleEnvironment& env, const Options& options, EmulatedBus* emulated,
                 const std::vector<BoardInfo>& boards, const ImageSnapshot& images,
                 RunReport& report);

}  // namespace vesk::console
