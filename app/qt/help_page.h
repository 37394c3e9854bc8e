#pragma once
// Where the shipped manual is found.

#include <QString>

namespace vesk::qt {

// The manual's HTML page, ../share/vesk-update/help/ from the program's folder (installed,
// or in the build tree). Empty when it does not exist.
QString HelpPagePath();

}  // namespace vesk::qt
