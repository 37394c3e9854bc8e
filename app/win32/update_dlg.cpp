#include "app/win32/update_dlg.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/win32/about_dlg.h"
#include "app/win32/dialog_support.h"
#include "app/win32/resource.h"
#include "app/win32/update_app.h"

namespace {

// From the worker to the dialog. The log and the questions are sent, so the worker waits
// until the dialog has handled them; progress and the end of a run (the worker's last
// act) are posted.
constexpr UINT kShowLogMessage = WM_APP + 1;        // lParam: const vesk::StatusLog*
constexpr UINT kAskYesNoMessage = WM_APP + 2;       // lParam: const Question*, result: answer
constexpr UINT kRunFinishedMessage = WM_APP + 3;    // wParam: vesk::RunOutcome
constexpr UINT kImageProgressMessage = WM_APP + 4;  // wParam: bytes written, lParam: total

// The buttons that are shown disabled while a run is under way.
constexpr int kRunDisabledButtons[] = {IDC_START_INITIALIZATION, IDOK, ID_HELP};

struct Question {
  std::string text;
  std::string caption;
};

// The sequence's host on the worker thread: hands everything to the dialog's thread.
class WorkerHost final : public vesk::UpdateHost {
 public:
  explicit WorkerHost(HWND dialog) : dialog_(dialog) {}
  void ShowStatusLog(const vesk::StatusLog& log) override {
    SendMessageA(dialog_, kShowLogMessage, 0, reinterpret_cast<LPARAM>(&log));
  }
  int AskYesNo(std::string_view text, std::string_view caption) override {
    const Question question{std::string(text), std::string(caption)};
    return static_cast<int>(
        SendMessageA(dialog_, kAskYesNoMessage, 0, reinterpret_cast<LPARAM>(&question)));
  }
  void ShowImageProgress(const std::string&, std::uint32_t written, std::uint32_t total) override {
    PostMessageA(dialog_, kImageProgressMessage, written, total);
  }
  // The cause of a failure is for whoever debugs the program: the dialog shows the log only.
  void ShowFailureDetail(std::string_view detail) override {
    OutputDebugStringA(std::string(detail).c_str());
  }

 private:
  HWND dialog_;
};

}  // namespace

CUpdateDlg::CUpdateDlg(vesk::CameraDriver& driver)
    : icon_(LoadIconA(vesk::win32::ResourceModule(), MAKEINTRESOURCEA(IDR_MAINFRAME))),
      taskbarButtonCreated_(RegisterWindowMessageA("TaskbarButtonCreated")) {
  state_.handle.driver = &driver;
}

CUpdateDlg::~CUpdateDlg() {
  if (run_.joinable()) run_.join();
}

INT_PTR CUpdateDlg::DoModal() {
  return DialogBoxParamA(vesk::win32::ResourceModule(), MAKEINTRESOURCEA(IDD_VESKUPDATE_DIALOG),
                         nullptr, DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CUpdateDlg::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CUpdateDlg*>(lParam);
    SetWindowLongPtrA(dialog, DWLP_USER, lParam);
    self->dialog_ = dialog;
    theApp.SetMainWindow(dialog);
  }
  auto* self = reinterpret_cast<CUpdateDlg*>(GetWindowLongPtrA(dialog, DWLP_USER));
  return self ? self->HandleMessage(message, wParam, lParam) : FALSE;
}

INT_PTR CUpdateDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (running_ && DeferDuringRun(message, wParam, lParam)) return TRUE;
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) != IDM_ABOUTBOX) return FALSE;
      OnSysCommand(wParam);
      return TRUE;
    case WM_PAINT:
      return OnPaint();
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon_);
    case WM_DESTROY:
      OnDestroy();
      return FALSE;
    case WM_COMMAND:
      OnCommand(wParam, lParam);
      return TRUE;
    case kShowLogMessage:
      ShowStatusLog(*reinterpret_cast<const vesk::StatusLog*>(lParam));
      return TRUE;
    case kAskYesNoMessage: {
      const auto& question = *reinterpret_cast<const Question*>(lParam);
      const int answer = AskYesNo(question.text, question.caption);
      // The question box enables its owner again when it ends; the run is not over.
      if (running_) EnableWindow(dialog_, FALSE);
      // Last: every message the dialog handles until it returns resets the result.
      SetWindowLongPtrA(dialog_, DWLP_MSGRESULT, answer);
      return TRUE;
    }
    case kRunFinishedMessage:
      OnRunFinished(static_cast<vesk::RunOutcome>(wParam));
      return TRUE;
    case kImageProgressMessage:
      if (running_)
        taskbar_.ShowProgress(static_cast<std::uint32_t>(wParam),
                              static_cast<std::uint32_t>(lParam));
      return TRUE;
    default:
      if (message == taskbarButtonCreated_ && message != 0) {
        taskbar_.Attach(dialog_);
        return TRUE;
      }
      return FALSE;
  }
}

bool CUpdateDlg::DeferDuringRun(UINT message, WPARAM wParam, LPARAM lParam) {
  // A press of Start during a run is dropped: there is no second run.
  if (message == WM_COMMAND && LOWORD(wParam) == IDC_START_INITIALIZATION) return true;
  const WPARAM systemCommand = wParam & 0xFFF0;
  const bool held =
      message == WM_COMMAND || message == WM_CLOSE ||
      (message == WM_SYSCOMMAND && (systemCommand == IDM_ABOUTBOX || systemCommand == SC_CLOSE));
  if (held) deferred_.push_back(MSG{dialog_, message, wParam, lParam, 0, {}});
  return held;
}

bool CUpdateDlg::DoDataExchange() {
  statusBox_ = GetDlgItem(dialog_, IDC_STATUS_BOX);
  deviceValues_ = GetDlgItem(dialog_, IDC_DEVICE_VALUES);
  startButton_ = GetDlgItem(dialog_, IDC_START_INITIALIZATION);
  statusLabel_ = GetDlgItem(dialog_, IDC_STATUS_LABEL);
  return statusBox_ && deviceValues_ && startButton_ && statusLabel_;
}

BOOL CUpdateDlg::OnInitDialog() {
  if (!DoDataExchange()) {
    EndDialog(dialog_, -1);
    return FALSE;
  }

  if (HMENU systemMenu = GetSystemMenu(dialog_, FALSE)) {
    std::array<char, 256> aboutText{};
    if (LoadStringA(vesk::win32::ResourceModule(), IDS_ABOUTBOX, aboutText.data(),
                    static_cast<int>(aboutText.size())) > 0) {
      AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
      AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, aboutText.data());
    }
  }

  SendMessageA(dialog_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageA(dialog_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

  std::array<char, 80> deviceValues{};
  std::snprintf(deviceValues.data(), deviceValues.size(),
                "Device Values to be Programmed:  PID = 0x%04X      DID = 0x%04X",
                unsigned{vesk::kProductId}, unsigned{vesk::kDeviceId});
  SetWindowTextA(deviceValues_, deviceValues.data());
  UpdateWindow(deviceValues_);

  vesk::win32::CenterDialog(dialog_, nullptr);
  return TRUE;
}

void CUpdateDlg::OnSysCommand(WPARAM) {
  CAboutDlg().DoModal(dialog_);
}

BOOL CUpdateDlg::OnPaint() {
  if (!IsIconic(dialog_)) return FALSE;
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(dialog_, &paint);
  SendMessageA(dialog_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int iconWidth = GetSystemMetrics(SM_CXICON);
  const int iconHeight = GetSystemMetrics(SM_CYICON);
  RECT client{};
  GetClientRect(dialog_, &client);
  const int x = (client.right - client.left - iconWidth + 1) / 2;
  const int y = (client.bottom - client.top - iconHeight + 1) / 2;
  DrawIcon(dc, x, y, icon_);
  EndPaint(dialog_, &paint);
  return TRUE;
}

void CUpdateDlg::OnDestroy() {
  WinHelpA(dialog_, nullptr, HELP_QUIT, 0);
}

void CUpdateDlg::OnCommand(WPARAM wParam, LPARAM) {
  switch (LOWORD(wParam)) {
    case IDC_START_INITIALIZATION:
      if (HIWORD(wParam) == BN_CLICKED) RunBoardInitialization();
      break;
    case IDOK:
      OnOK();
      break;
    case IDCANCEL:
      OnCancel();
      break;
    case ID_HELP:
      theApp.OnHelp();
      break;
    default:
      break;
  }
}

void CUpdateDlg::OnOK() {
  if (!DoDataExchange()) return;
  EndDialog(dialog_, IDOK);
}

void CUpdateDlg::OnCancel() {
  EndDialog(dialog_, IDCANCEL);
}

void CUpdateDlg::ShowStatusLog(const vesk::StatusLog& log) {
  SetWindowTextA(statusBox_, log.CString());
  UpdateWindow(statusBox_);
}

int CUpdateDlg::AskYesNo(std::string_view text, std::string_view caption) {
  const std::string question(text);
  const std::string title(caption);
  // A box that cannot be shown returns 0 (-1 on some systems): nobody said Yes.
  const int answer =
      MessageBoxA(dialog_, question.c_str(), title.c_str(), MB_YESNO | MB_ICONQUESTION);
  return answer == IDYES ? IDYES : IDNO;
}

void CUpdateDlg::EnableRunButtons(bool enable) {
  for (const int id : kRunDisabledButtons) EnableWindow(GetDlgItem(dialog_, id), enable);
}

void CUpdateDlg::RunBoardInitialization() {
  if (running_) return;
  running_ = true;
  taskbar_.Clear();
  EnableRunButtons(false);
  EnableWindow(dialog_, FALSE);
  const HWND dialog = dialog_;
  run_ = std::thread([this, dialog] {
    WorkerHost host(dialog);
    const vesk::RunOutcome outcome = vesk::RunBoardInitialization(host, state_);
    PostMessageA(dialog, kRunFinishedMessage, static_cast<WPARAM>(outcome), 0);
  });
}

void CUpdateDlg::OnRunFinished(vesk::RunOutcome outcome) {
  if (run_.joinable()) run_.join();
  running_ = false;
  // A failure stays on the task-bar button until the next run starts.
  if (outcome == vesk::RunOutcome::Failed)
    taskbar_.ShowFailed();
  else
    taskbar_.Clear();
  EnableRunButtons(true);
  EnableWindow(dialog_, TRUE);
  SetFocus(startButton_);
  for (const MSG& held : deferred_) PostMessageA(held.hwnd, held.message, held.wParam, held.lParam);
  deferred_.clear();
}
