#include <unistd.h>

#include "app/console/terminal.h"

namespace vesk::console {

bool StandardErrorIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

}  // namespace vesk::console
