#include <io.h>
#include <stdio.h>

#include "app/console/terminal.h"

namespace vesk::console {

bool StandardErrorIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}

}  // namespace vesk::console
