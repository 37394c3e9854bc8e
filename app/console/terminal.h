#pragma once
// The one thing the console asks of the platform's terminal.

namespace vesk::console {

// True when standard error is an interactive terminal (then a progress bar is drawn).
bool StandardErrorIsTerminal();

}  // namespace vesk::console
