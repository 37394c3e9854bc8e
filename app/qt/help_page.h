#pragma once
// Where the shipped manual is found.

#include <QString>

namespace vesk::qt {

// The manual's HTML page: installed beside the program (../share/vesk-update/help/), or
// in the source tree for a program run from its build directory. Empty when neither
// exists.
QString HelpPagePath();

}  // namespace vesk::qt
