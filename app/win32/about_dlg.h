#pragma once
// The About box, dialog template 100: its OK button, Enter, Esc and its close box end it.

#include <windows.h>

class CAboutDlg {
 public:
  // Creates a fresh About box owned by `owner`, runs it modally and destroys it.
  // Returns the modal result (IDOK, IDCANCEL, or -1 when it cannot be created).
  INT_PTR DoModal(HWND owner);

 private:
  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
};
