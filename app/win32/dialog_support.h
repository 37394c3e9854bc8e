#pragma once
// What the dialog classes share: the module they load their resources from and the
// centring a modal dialog gets when it opens.

#include <windows.h>

namespace vesk::win32 {

// The program's own module (its resources: templates, icon, strings).
HINSTANCE ResourceModule();

// Centres `dialog` over `owner`, or on the work area of its monitor when `owner` is null,
// keeping it on that work area.
void CenterDialog(HWND dialog, HWND owner);

}  // namespace vesk::win32
