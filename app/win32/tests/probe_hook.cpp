// Loaded by the system into the dialog program's interface thread when the dialog test
// installs its hook there: as a WH_CBT hook it refuses the creation of every dialog-class
// window, so that a message box cannot be shown.

#include <windows.h>

#include <cstring>

extern "C" __declspec(dllexport) LRESULT CALLBACK
    VeskRefuseDialogsHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND) {
    char name[16] = {};
    GetClassNameA(reinterpret_cast<HWND>(wParam), name, sizeof name);
    if (std::strcmp(name, "#32770") == 0) return 1;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}
