#include "app/win32/about_dlg.h"

#include "app/win32/dialog_support.h"
#include "app/win32/resource.h"

INT_PTR CAboutDlg::DoModal(HWND owner) {
  return DialogBoxParamA(vesk::win32::ResourceModule(), MAKEINTRESOURCEA(IDD_ABOUTBOX), owner,
                         DialogProc, 0);
}

INT_PTR CALLBACK CAboutDlg::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      vesk::win32::CenterDialog(dialog, GetWindow(dialog, GW_OWNER));
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}
