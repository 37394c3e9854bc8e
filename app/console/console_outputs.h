#pragma once
// The files a run writes besides the board: --log, --eeprom-out, --backup, --report,
// --report-append and read's FILE. They are checked before any board is touched and
// written after the run, even after an interruption.

#include <optional>
#include <string>

#include "app/console/console_app.h"
#include "app/console/console_bus.h"
#include "app/console/console_options.h"
#include "app/console/run_report.h"

namespace vesk::console {

// The first output that cannot be written where it goes, or that is another output or an
// input, as the usage error's message; nothing when every one can be. Relative paths are
// taken in the working directory, which -C has set.
std::optional<std::string> OutputProblem(const Options& options);

// Writes --log and --eeprom-out (the one board's: `slot`, the emulated one if it is),
// --report (for a run) and --report-append. False when one could not be written, which is
// said on standard error.
bool WriteOutputs(ConsoleEnvironment& env, const Options& options, const RunReport& report,
                  const EmulatedSlot* slot);

}  // namespace vesk::console
