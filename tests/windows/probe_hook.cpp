// Loaded by the system into the dialog program's interface thread when the dialog test
// installs it as a window-procedure hook: it answers what a window of another process
// cannot be asked under every Windows implementation (its system menu, the dialog-unit
// mapping of its font, its icons), and replies with WM_COPYDATA.

#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/windows/probe_protocol.h"

extern "C" __declspec(dllexport) LRESULT CALLBACK
    VeskProbeHook(int code, WPARAM wParam, LPARAM lParam) {
  static const UINT menuQuery = RegisterWindowMessageA(vesk::probe::kMenuQuery);
  static const UINT rectQuery = RegisterWindowMessageA(vesk::probe::kRectQuery);
  static const UINT iconQuery = RegisterWindowMessageA(vesk::probe::kIconQuery);
  const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION &&
      (call->message == menuQuery || call->message == rectQuery || call->message == iconQuery)) {
    std::string reply;
    if (call->message == iconQuery) {
      const bool big = SendMessageA(call->hwnd, WM_GETICON, ICON_BIG, 0) != 0;
      const bool small = SendMessageA(call->hwnd, WM_GETICON, ICON_SMALL, 0) != 0;
      reply = std::string(big ? "1" : "0") + (small ? " 1" : " 0");
    } else if (call->message == menuQuery) {
      HMENU menu = GetSystemMenu(call->hwnd, FALSE);
      const int count = menu ? GetMenuItemCount(menu) : -1;
      reply = std::to_string(count);
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
    } else {
      RECT rect = vesk::probe::UnpackRect(static_cast<std::uint64_t>(call->wParam));
      const BOOL mapped = MapDialogRect(call->hwnd, &rect);
      char text[96];
      std::snprintf(text, sizeof text, "%d %ld %ld %ld %ld", mapped, rect.left, rect.top,
                    rect.right, rect.bottom);
      reply = text;
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
