#pragma once
// The main dialog, template 102: the picture, the device values, the start button, the
// status box, Close and Help, and the About entry of its system menu.
//
// A run of the update sequence takes tens of seconds. It runs on a worker thread so that
// the dialog keeps handling its messages (a window that handles none for five seconds
// is marked "Not Responding", and closing it then would kill an EEPROM write half-way).
// The worker touches no window: it sends each log and each question to the dialog and
// waits for the dialog to have shown it. While a run is under way the dialog takes no
// input; commands that still reach it (Close, Esc, the close box, Help, the system menu)
// are held and carried out after the verdict, and a second run cannot start. Start, Close
// and Help are shown disabled meanwhile, and the task-bar button shows the progress of
// the image being written.

#include <windows.h>

#include <string_view>
#include <thread>
#include <vector>

#include "run/update_sequence.h"
#include "app/win32/taskbar_progress.h"
#include "device/camera_driver.h"

class CUpdateDlg {
 public:
  explicit CUpdateDlg(vesk::CameraDriver& driver);
  ~CUpdateDlg();
  CUpdateDlg(const CUpdateDlg&) = delete;
  CUpdateDlg& operator=(const CUpdateDlg&) = delete;

  // Creates the dialog with no parent and runs it until Close (1), Esc or the close box
  // (2); -1 when it cannot be created or its controls cannot be bound.
  INT_PTR DoModal();

  // The host side of a run, on the dialog's thread.
  void ShowStatusLog(const vesk::StatusLog& log);
  int AskYesNo(std::string_view text, std::string_view caption);

 private:
  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

  bool DoDataExchange();
  BOOL OnInitDialog();
  void OnSysCommand(WPARAM command);
  BOOL OnPaint();
  void OnDestroy();
  void OnCommand(WPARAM wParam, LPARAM lParam);
  void OnOK();
  void OnCancel();
  void RunBoardInitialization();
  void OnRunFinished(vesk::RunOutcome outcome);
  void EnableRunButtons(bool enable);
  // True when the message arrived during a run and was kept for after the verdict.
  bool DeferDuringRun(UINT message, WPARAM wParam, LPARAM lParam);

  HWND dialog_ = nullptr;
  // Bound by data exchange: controls 1007, 1006, 1000 and 1002.
  HWND statusBox_ = nullptr;
  HWND deviceValues_ = nullptr;
  HWND startButton_ = nullptr;
  HWND statusLabel_ = nullptr;
  // Handle, device path and ROM header, kept from one run to the next.
  vesk::UpdateState state_;
  HICON icon_ = nullptr;
  // Sent by the shell once the task-bar button exists; only then can it show progress.
  UINT taskbarButtonCreated_ = 0;
  vesk::win32::TaskbarProgress taskbar_;

  std::thread run_;
  bool running_ = false;
  std::vector<MSG> deferred_;
};
