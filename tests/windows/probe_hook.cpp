// Loaded by the system into the dialog program's interface thread when the dialog test
// installs it as a hook: it answers with the dialog's icons and system menu (which a window
// of another process cannot be asked for under every Windows implementation) as WM_COPYDATA,
// and it can refuse to let message boxes be made.

#include <windows.h>

#include <string>

#include "tests/windows/probe_protocol.h"

// Installed as a WH_CALLWNDPROC hook: replies to the menu query with whether the big and
// the small icon are set and the entry count, then one line per entry, "separator id text".
extern "C" __declspec(dllexport) LRESULT CALLBACK
    VeskProbeHook(int code, WPARAM wParam, LPARAM lParam) {
  static const UINT menuQuery = RegisterWindowMessageA(vesk::probe::kMenuQuery);
  const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && call->message == menuQuery) {
    HMENU menu = GetSystemMenu(call->hwnd, FALSE);
    const int count = menu ? GetMenuItemCount(menu) : -1;
    const bool big = SendMessageA(call->hwnd, WM_GETICON, ICON_BIG, 0) != 0;
    const bool small = SendMessageA(call->hwnd, WM_GETICON, ICON_SMALL, 0) != 0;
    std::string reply = std::string(big ? "1 " : "0 ") + (small ? "1 " : "0 ") +
                        std::to_string(count);
    for (int position = 0; position < count; ++position) {
      char text[128] = {};
      MENUITEMINFOA item{};
      item.cbSize = sizeof item;
      item.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING;
      item.dwTypeData = text;
      item.cch = sizeof text;
      GetMenuItemInfoA(menu, static_cast<UINT>(position), TRUE, &item);
      reply += "\n" + std::to_string(item.fType & MFT_SEPARATOR ? 1 : 0) + " " +
               std::to_string(item.wID) + " " + text;
    }
    COPYDATASTRUCT data{0, static_cast<DWORD>(reply.size() + 1), const_cast<char*>(reply.c_str())};
    SendMessageA(reinterpret_cast<HWND>(call->lParam), WM_COPYDATA, 0,
                 reinterpret_cast<LPARAM>(&data));
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Installed as a WH_CBT hook: refuses the creation of every dialog-class window, so that
// a message box cannot be shown.
extern "C" __declspec(dllexport) LRESULT CALLBACK
    VeskRefuseDialogsHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND) {
    char name[16] = {};
    GetClassNameA(reinterpret_cast<HWND>(wParam), name, sizeof name);
    if (std::string(name) == "#32770") return 1;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}
