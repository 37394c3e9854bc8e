#pragma once
// Interruptions of the console program: they stop the run between two requests.

namespace vesk::console {

// The first SIGINT, SIGTERM or SIGHUP (Windows: Ctrl+C, Ctrl+Break, closing the console)
// asks the run to stop before its next request and is remembered; a second one ends the
// program at once. SIGPIPE is ignored, so a closed output only fails its writes.
void InstallInterruptionHandlers();

// The exit status for the interruption received: 130 SIGINT (and Ctrl+C, Ctrl+Break),
// 143 SIGTERM, 129 SIGHUP (and closing the console); 0 when none came.
int InterruptionExitStatus();

}  // namespace vesk::console
