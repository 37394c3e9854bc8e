#include <unistd.h>

#include "app/console/terminal.h"

namespace vesk::console {

bool StandardErrorIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return {argv, argv + argc};
}

}  // namespace vesk::console
