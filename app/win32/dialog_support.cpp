#include "app/win32/dialog_support.h"

#include <algorithm>

namespace vesk::win32 {

HINSTANCE ResourceModule() {
  return GetModuleHandleA(nullptr);
}

void CenterDialog(HWND dialog, HWND owner) {
  RECT window{};
  GetWindowRect(dialog, &window);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoA(MonitorFromWindow(owner ? owner : dialog, MONITOR_DEFAULTTOPRIMARY), &monitor);
  const RECT area = monitor.rcWork;
  RECT around = area;
  if (owner && IsWindowVisible(owner) && !IsIconic(owner)) GetWindowRect(owner, &around);

  const LONG width = window.right - window.left;
  const LONG height = window.bottom - window.top;
  LONG left = (around.left + around.right) / 2 - width / 2;
  LONG top = (around.top + around.bottom) / 2 - height / 2;
  left = std::max(area.left, std::min(left, area.right - width));
  top = std::max(area.top, std::min(top, area.bottom - height));
  SetWindowPos(dialog, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace vesk::win32
