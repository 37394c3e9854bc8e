#pragma once
// What the dialog test and its hook agree on: a registered message sent to the dialog with
// the test's reply window in lParam, answered with the dialog's icons and system menu.

namespace vesk::probe {

inline constexpr const char* kMenuQuery = "VeskProbeSystemMenu";

}  // namespace vesk::probe
