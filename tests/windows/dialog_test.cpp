// Drives the dialog program from beside it, as an operator would, and checks what it
// shows. Usage:
//   vesk-dialog-test <program.exe> <probe.dll> no-camera
//   vesk-dialog-test <program.exe> <probe.dll> full-run [screenshot.bmp]
//   vesk-dialog-test <setup.exe> <probe.dll> installer
// "no-camera": the shipped program on a machine without a camera: its controls, system
// menu and About box, a cancelled run, a question box that cannot be shown, a run that
// finds no camera, Help opening the manual beside the program, and the three ways to close.
// "full-run": a program whose runs reach a board and that has no manual beside it: a
// successful run, a run refused at the power-cycle question, a close request during a
// run, and Help failing. The dialog must answer a message within a second at every point
// of a run.
// "installer": a silent install, the installed dialog, a silent uninstall.
// The shell runs "vesk-dialog-test opened RECORD FILE" to open the manual (see Help).

#include <windows.h>

#include <shlobj.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/expected_logs.h"
#include "tests/windows/expectations.h"
#include "tests/windows/probe_protocol.h"

namespace {

constexpr const char* kDialogCaption = "Tarsel Vesk USB Update Tool";
constexpr const char* kAboutCaption = "About Pelkor";
constexpr const char* kQuestionCaption = "Vesk USB Update - Confirmation";
constexpr const char* kProceedQuestion = "Proceed with raw USB device initialization?";
constexpr const char* kPowerCycleQuestion =
    "Please power cycle the camera.\n\nAfter power cycle, the camera's red LEDs should blink "
    "when the camera is ready.\n\nIs the camera ready?";
// Hang detection only: a healthy step takes a fraction of these.
constexpr DWORD kWindowTimeoutMs = 60000;
constexpr DWORD kRunTimeoutMs = 120000;

const std::string kStarted = "USB Board Initialization Started\r\n";
// The log up to the power-cycle question.
const std::string kSuccessfulLog(vesk::testing::kLogBeforePowerCycleQuestion);

using vesk::windows_tests::Expect;
using vesk::windows_tests::ExpectEqual;

// WM_GETTEXT, not GetWindowText: for a control of another process GetWindowText returns
// the creation text, not what the control shows now.
std::string WindowText(HWND window) {
  std::vector<char> text(16384);
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_NORMAL, 5000, &length))
    return "<no answer>";
  return std::string(text.data(), length);
}

// Replies of the probe hook arrive here as WM_COPYDATA.
class ProbeClient {
 public:
  // Installs the probe's `hookName` export as a hook of `type` on the dialog's thread.
  bool Attach(const std::string& dllPath, HWND dialog, const char* hookName = "VeskProbeHook",
              int type = WH_CALLWNDPROC) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = ReplyProc;
    windowClass.lpszClassName = "VeskProbeReply";
    RegisterClassA(&windowClass);
    reply_window_ =
        CreateWindowA("VeskProbeReply", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    module_ = LoadLibraryA(dllPath.c_str());
    if (!reply_window_ || !module_) return false;
    const auto hook =
        reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(module_, hookName)));
    hook_ = hook ? SetWindowsHookExA(type, hook, module_, GetWindowThreadProcessId(dialog, nullptr))
                 : nullptr;
    dialog_ = dialog;
    return hook_ != nullptr;
  }
  ~ProbeClient() {
    if (hook_) UnhookWindowsHookEx(hook_);
    if (reply_window_) DestroyWindow(reply_window_);
  }

  std::string Ask(const char* query, WPARAM argument) {
    reply_.clear();
    DWORD_PTR result = 0;
    SendMessageTimeoutA(dialog_, RegisterWindowMessageA(query), argument,
                        reinterpret_cast<LPARAM>(reply_window_), SMTO_NORMAL, 10000, &result);
    return reply_;
  }

 private:
  static LRESULT CALLBACK ReplyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
      const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
      reply_.assign(static_cast<const char*>(data->lpData));
      return TRUE;
    }
    return DefWindowProcA(window, message, wParam, lParam);
  }

  static inline std::string reply_;
  HWND reply_window_ = nullptr;
  HWND dialog_ = nullptr;
  HMODULE module_ = nullptr;
  HHOOK hook_ = nullptr;
};

class DialogProgram {
 public:
  explicit DialogProgram(std::string path) : path_(std::move(path)) {}
  ~DialogProgram() {
    if (process_.hProcess) {
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(process_.hProcess, 99);
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
  }

  // Starts the program and waits for its main dialog.
  HWND Start() {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + path_ + "\"";
    // Wine now and then refuses a start right after the program's last instance ended.
    bool started = false;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
      started = CreateProcessA(path_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, nullptr, &startup, &process_) != FALSE;
      if (!started) {
        std::printf("cannot start %s: error %lu\n", path_.c_str(), GetLastError());
        Sleep(500);
      }
    }
    if (!started) return nullptr;
    dialog_ = WaitForWindow(kDialogCaption, nullptr, kWindowTimeoutMs);
    if (!dialog_) {
      DWORD exitCode = 0;
      GetExitCodeProcess(process_.hProcess, &exitCode);
      std::printf("no dialog from %s; process %s (status %lu)\n", path_.c_str(),
                  Running() ? "still running" : "ended", exitCode);
    }
    return dialog_;
  }

  // A visible top-level window of this program with `caption` (and `owner`, if given).
  HWND FindWindowOf(const char* caption, HWND owner) const {
    struct Search {
      DWORD processId;
      const char* caption;
      HWND owner;
      HWND found;
    } search{process_.dwProcessId, caption, owner, nullptr};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
          auto& s = *reinterpret_cast<Search*>(context);
          DWORD processId = 0;
          GetWindowThreadProcessId(window, &processId);
          if (processId != s.processId || !IsWindowVisible(window)) return TRUE;
          if (WindowText(window) != s.caption) return TRUE;
          if (s.owner && GetWindow(window, GW_OWNER) != s.owner) return TRUE;
          s.found = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

  // Waits until `done` holds; meanwhile the dialog must answer a message within a second.
  bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!done()) {
      if (GetTickCount() - start > timeoutMs) return false;
      if (dialog_ && IsWindow(dialog_)) {
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(dialog_, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result) &&
            IsWindow(dialog_)) {
          if (unanswered_++ == 0)
            std::printf("the dialog did not answer within a second; its log: %s\n",
                        WindowText(GetDlgItem(dialog_, 1007)).c_str());
        }
      }
      Sleep(20);
    }
    return true;
  }

  HWND WaitForWindow(const char* caption, HWND owner, DWORD timeoutMs) {
    HWND window = nullptr;
    WaitUntil([&] { return (window = FindWindowOf(caption, owner)) != nullptr; }, timeoutMs);
    return window;
  }

  bool WaitForExit(DWORD timeoutMs, DWORD& exitCode) {
    if (WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(process_.hProcess, &exitCode);
    return true;
  }

  bool Running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }
  DWORD ProcessId() const { return process_.dwProcessId; }
  HWND Dialog() const { return dialog_; }
  int Unanswered() const { return unanswered_; }

 private:
  std::string path_;
  PROCESS_INFORMATION process_{};
  HWND dialog_ = nullptr;
  int unanswered_ = 0;
};

std::vector<std::string> ChildTexts(HWND window) {
  std::vector<std::string> texts;
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    texts.push_back(WindowText(child));
  return texts;
}

bool Contains(const std::vector<std::string>& texts, const std::string& text) {
  for (const auto& t : texts)
    if (t == text) return true;
  return false;
}

void Click(HWND dialog, int id) {
  PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void Answer(HWND box, int button) {
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
}

std::string StatusText(HWND dialog) {
  return WindowText(GetDlgItem(dialog, 1007));
}

// Start, Close and Help: how many of them are enabled.
int EnabledRunButtons(HWND dialog) {
  int enabled = 0;
  for (const int id : {1000, IDOK, 57670})
    enabled += IsWindowEnabled(GetDlgItem(dialog, id)) ? 1 : 0;
  return enabled;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The base name of a program path: the caption of the dialog program's own message boxes.
std::string BaseName(std::string path) {
  const std::size_t separator = path.find_last_of("\\/");
  if (separator != std::string::npos) path.erase(0, separator + 1);
  const std::size_t dot = path.find_last_of('.');
  if (dot != std::string::npos) path.erase(dot);
  return path;
}

bool SetClassesValue(const char* key, const std::string& value) {
  HKEY handle = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle,
                      nullptr) != ERROR_SUCCESS)
    return false;
  const LONG status =
      RegSetValueExA(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
  RegCloseKey(handle);
  return status == ERROR_SUCCESS;
}

// From now on the shell opens .html files with this program, which writes the opened
// file's path into `record` (the test prefix is the build's own).
bool RecordShellOpens(const std::string& record) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  return SetClassesValue(".html", "VeskTest.manual") &&
         SetClassesValue("VeskTest.manual\\shell\\open\\command",
                         "\"" + std::string(self) + "\" opened \"" + record + "\" \"%1\"");
}

// Presses Start and answers the confirmation; returns the question box or null.
HWND StartRun(DialogProgram& program, int answer) {
  HWND dialog = program.Dialog();
  Click(dialog, 1000);
  HWND box = program.WaitForWindow(kQuestionCaption, dialog, kWindowTimeoutMs);
  Expect(box != nullptr, "Start asks for confirmation");
  if (!box) return nullptr;
  Expect(Contains(ChildTexts(box), kProceedQuestion), "the confirmation asks to proceed");
  Expect(!IsWindowEnabled(dialog), "the dialog takes no input while the question is open");
  ExpectEqual(EnabledRunButtons(dialog), 0, "Start, Close and Help are disabled during a run");
  Answer(box, answer);
  Expect(program.WaitUntil([&] { return !IsWindow(box); }, kWindowTimeoutMs),
         "the confirmation closes when answered");
  return box;
}

// The dialog takes input again and its log ends the way a run ends.
bool RunEnded(HWND dialog) {
  if (!IsWindowEnabled(dialog)) return false;
  const std::string log = StatusText(dialog);
  for (const std::string ending : {"Camera firmware update FAILED.", "Update complete.",
                                   "Initialization cancelled by user\r\n"})
    if (log.size() >= ending.size() &&
        log.compare(log.size() - ending.size(), ending.size(), ending) == 0)
      return true;
  return false;
}

// The controls the operator uses, by id, with what they show before a run.
void CheckControls(HWND dialog) {
  const struct {
    int id;
    const char* text;
  } controls[] = {
      {1000, "Start Initialization"},
      {IDOK, "Close"},
      {57670, "&Help"},
      {1002, "Status:"},
      {1005, "Version 1.0"},
      {1006, "Device Values to be Programmed:  PID = 0x0010      DID = 0x0011"},
      {1007, ""},
  };
  for (const auto& control : controls) {
    HWND window = GetDlgItem(dialog, control.id);
    const std::string name = "control " + std::to_string(control.id);
    Expect(window && IsWindowVisible(window), name + " shown");
    ExpectEqual(WindowText(window), std::string(control.text), name + " text");
  }
  Expect(GetDlgItem(dialog, 136) != nullptr, "the board picture is there");
  GUITHREADINFO thread{};
  thread.cbSize = sizeof thread;
  GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &thread);
  Expect(thread.hwndFocus == GetDlgItem(dialog, 1000), "the focus starts on Start Initialization");
  Expect(GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW, "a task-bar button");
}

// Both icons are set, and the system menu ends with a separator and the About entry.
void CheckIconsAndSystemMenu(ProbeClient& probe) {
  const std::string reply = probe.Ask(vesk::probe::kMenuQuery, 0);
  ExpectEqual(reply.substr(0, 4), std::string("1 1 "), "big and small icons set");
  const std::string ending = "\n1 0 \n0 16 &About Pelkor...";
  Expect(reply.size() > ending.size() &&
             reply.compare(reply.size() - ending.size(), ending.size(), ending) == 0,
         "the system menu ends with a separator and \"&About Pelkor...\": " + reply);
}

// The About box opens from the system menu's command (the system may set its low four
// bits) and ends with OK or Esc, giving the dialog back.
void CheckAboutBoxes(DialogProgram& program) {
  HWND dialog = program.Dialog();
  for (const auto& [command, closeWithEsc] : {std::pair{16, false}, std::pair{31, true}}) {
    const std::string name = "About box by system command " + std::to_string(command);
    PostMessageA(dialog, WM_SYSCOMMAND, static_cast<WPARAM>(command), 0);
    HWND about = program.WaitForWindow(kAboutCaption, dialog, kWindowTimeoutMs);
    Expect(about != nullptr, name + " opens, owned by the dialog");
    if (!about) return;
    Expect(Contains(ChildTexts(about), "Vesk USB Update Tool - Version 1.0"),
           name + " names the tool");
    Expect(!IsWindowEnabled(dialog), name + " disables the dialog");
    if (closeWithEsc)
      PostMessageA(GetDlgItem(about, IDOK), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    else
      Click(about, IDOK);
    Expect(program.WaitUntil([&] { return !IsWindow(about) || !IsWindowVisible(about); },
                             kWindowTimeoutMs),
           name + (closeWithEsc ? " ends with Esc" : " ends with OK"));
    Expect(program.WaitUntil([&] { return IsWindowEnabled(dialog) != FALSE; }, kWindowTimeoutMs),
           name + ": the dialog takes input again");
  }
}

// The three ways to close the dialog; each ends the program with status 0.
const struct {
  const char* how;
  void (*close)(HWND dialog);
} kCloses[] = {
    {"Close", [](HWND dialog) { Click(dialog, IDOK); }},
    {"Esc",
     [](HWND dialog) {
       PostMessageA(GetDlgItem(dialog, 1000), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
     }},
    {"the close box", [](HWND dialog) { PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }},
};

void CheckCloses(DialogProgram& program, const char* how, void (*close)(HWND)) {
  close(program.Dialog());
  DWORD exitCode = 99;
  Expect(program.WaitForExit(kWindowTimeoutMs, exitCode), std::string(how) + " ends the program");
  ExpectEqual(exitCode, DWORD{0}, std::string(how) + ": exit status 0");
}

void NoCameraScenario(const std::string& path, const std::string& probeDll) {
  {
    DialogProgram program(path);
    HWND dialog = program.Start();
    Expect(dialog != nullptr, "the dialog appears with its caption");
    if (!dialog) return;
    {
      // Only while it is asked: a hook from another process slows every message down.
      ProbeClient probe;
      Expect(probe.Attach(probeDll, dialog), "probe hook attached");
      CheckIconsAndSystemMenu(probe);
    }
    CheckControls(dialog);
    CheckAboutBoxes(program);

    StartRun(program, IDNO);
    Expect(program.WaitUntil([&] { return RunEnded(dialog); }, kRunTimeoutMs),
           "cancelled run ends");
    ExpectEqual(StatusText(dialog), kStarted + "Initialization cancelled by user\r\n",
                "No at the confirmation: two lines");

    StartRun(program, IDYES);
    Expect(program.WaitUntil([&] { return RunEnded(dialog); }, kRunTimeoutMs),
           "run without camera ends");
    ExpectEqual(StatusText(dialog),
                kStarted +
                    "Opening camera connection\r\n"
                    "Error 0x1 (Failed to connect to camera)\r\n"
                    "Camera firmware update FAILED.",
                "no camera: four lines");
    ExpectEqual(EnabledRunButtons(dialog), 3,
                "Start, Close and Help are enabled after the verdict");
    {
      // A question box that cannot be shown is nobody's Yes: the run does not start.
      ProbeClient refuse;
      Expect(refuse.Attach(probeDll, dialog, "VeskRefuseDialogsHook", WH_CBT),
             "box-refusing hook attached");
      DWORD_PTR result = 0;
      SendMessageTimeoutA(GetDlgItem(dialog, 1007), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""),
                          SMTO_NORMAL, 5000, &result);
      Click(dialog, 1000);
      Expect(program.WaitUntil([&] { return RunEnded(dialog); }, kRunTimeoutMs),
             "a run whose question cannot be shown ends");
      ExpectEqual(StatusText(dialog), kStarted + "Initialization cancelled by user\r\n",
                  "a question box that cannot be shown counts as No");
    }
    ExpectEqual(program.Unanswered(), 0, "the dialog answered within a second throughout");

    // There is no help file: Help has the shell open the manual beside the program.
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, folder);
    const std::string record = std::string(folder) + "\\help-opened.txt";
    DeleteFileA(record.c_str());
    Expect(RecordShellOpens(record), "the shell's opening of .html files is recorded");
    Click(dialog, 57670);
    std::string opened;
    Expect(
        program.WaitUntil([&] { return !(opened = FileText(record)).empty(); }, kWindowTimeoutMs),
        "Help has the shell open a file");
    const std::string manual = "\\veskupdate.html";
    Expect(Lower(opened).size() > manual.size() &&
               Lower(opened).compare(opened.size() - manual.size(), manual.size(), manual) == 0 &&
               Exists(opened),
           "Help opens the manual beside the program: " + opened);
    Expect(program.FindWindowOf(BaseName(path).c_str(), dialog) == nullptr,
           "no failure box when the manual opens");

    CheckCloses(program, kCloses[0].how, kCloses[0].close);
  }
  for (const auto& [how, close] : std::span(kCloses).subspan(1)) {
    DialogProgram program(path);
    Expect(program.Start() != nullptr, std::string("dialog appears before closing by ") + how);
    if (program.Dialog()) CheckCloses(program, how, close);
  }
}

// Writes the window as it is on the screen into a 24-bit BMP file (the CTest run turns it
// into a PNG).
bool Screenshot(HWND window, const std::string& path) {
  RECT rect{};
  GetWindowRect(window, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFOHEADER header{sizeof header, width, -height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header),
                                    DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  GdiFlush();
  const DWORD size = static_cast<DWORD>(((width * 3 + 3) & ~3) * height);
  const DWORD offset = sizeof(BITMAPFILEHEADER) + sizeof header;
  const BITMAPFILEHEADER file{0x4D42, offset + size, 0, 0, offset};
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&header), sizeof header);
  out.write(static_cast<const char*>(bits), size);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return bits && out.good();
}

// Runs to the power-cycle question and answers it; returns false when it never came.
bool RunToPowerCycle(DialogProgram& program, int answer, const std::function<void()>& duringRun) {
  HWND dialog = program.Dialog();
  StartRun(program, IDYES);
  if (duringRun) duringRun();
  HWND box = nullptr;
  program.WaitUntil(
      [&] {
        box = program.FindWindowOf(kQuestionCaption, dialog);
        return box != nullptr || RunEnded(dialog) || !IsWindow(dialog);
      },
      kRunTimeoutMs);
  Expect(box != nullptr, "the run reaches the power-cycle question; log: " + StatusText(dialog));
  if (!box) return false;
  Expect(Contains(ChildTexts(box), kPowerCycleQuestion), "the power-cycle question's text");
  ExpectEqual(StatusText(dialog), kSuccessfulLog, "the log before the power-cycle question");
  Answer(box, answer);
  Expect(program.WaitUntil([&] { return !IsWindow(box) || !program.Running(); }, kWindowTimeoutMs),
         "the power-cycle question closes when answered");
  return true;
}

void FullRunScenario(const std::string& path, const std::string& screenshot) {
  {
    DialogProgram program(path);
    HWND dialog = program.Start();
    Expect(dialog != nullptr, "the dialog appears");
    if (!dialog) return;
    // As the shell does once the task-bar button exists: the runs report their progress.
    DWORD_PTR result = 0;
    SendMessageTimeoutA(dialog, RegisterWindowMessageA("TaskbarButtonCreated"), 0, 0, SMTO_NORMAL,
                        5000, &result);

    // A second press of Start during the run must not start a second run.
    if (RunToPowerCycle(program, IDYES, [&] { Click(dialog, 1000); })) {
      Expect(program.WaitUntil([&] { return RunEnded(dialog); }, kRunTimeoutMs), "the run ends");
      ExpectEqual(StatusText(dialog),
                  kSuccessfulLog +
                      "Power cycle complete\r\n"
                      "Camera firmware update SUCCESSFUL.  Update complete.",
                  "successful run: thirteen lines");
      Sleep(500);
      Expect(program.FindWindowOf(kQuestionCaption, dialog) == nullptr,
             "no second run was started during the first");
      if (!screenshot.empty()) {
        SetForegroundWindow(dialog);
        RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        Sleep(500);
        Expect(Screenshot(dialog, screenshot), "screenshot written to " + screenshot);
      }
    }

    if (RunToPowerCycle(program, IDNO, nullptr)) {
      Expect(program.WaitUntil([&] { return RunEnded(dialog); }, kRunTimeoutMs), "the run ends");
      ExpectEqual(StatusText(dialog),
                  kSuccessfulLog +
                      "Error 0x8 (Failed to correctly power cycle\r\n"
                      "Camera firmware update FAILED.",
                  "No at the power-cycle question");
    }

    // No help file and no manual beside this program: Help says that it failed, and the
    // dialog stays usable.
    Click(dialog, 57670);
    HWND failure = program.WaitForWindow(BaseName(path).c_str(), dialog, kWindowTimeoutMs);
    Expect(failure && Contains(ChildTexts(failure), "Failed to launch help."),
           "Help without a manual says \"Failed to launch help.\"");
    if (failure) {
      Answer(failure, IDOK);
      Expect(program.WaitUntil([&] { return IsWindowEnabled(dialog) != FALSE; }, kWindowTimeoutMs),
             "the dialog takes input again after the help failure");
    }

    // Esc during a run takes effect after the verdict, not before.
    if (RunToPowerCycle(program, IDYES, [&] {
          PostMessageA(GetDlgItem(dialog, 1000), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
          PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        })) {
      DWORD exitCode = 99;
      Expect(program.WaitForExit(kRunTimeoutMs, exitCode),
             "a close request during the run ends the program after the verdict");
    }
    ExpectEqual(program.Unanswered(), 0, "the dialog answered within a second throughout");
  }
}

// Runs `commandLine` and returns its exit status, or -1.
long RunAndWait(std::string commandLine) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process))
    return -1;
  DWORD exitCode = 99;
  if (WaitForSingleObject(process.hProcess, kRunTimeoutMs) == WAIT_OBJECT_0)
    GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return static_cast<long>(exitCode);
}

std::string SystemFolder(int id) {
  char path[MAX_PATH] = {};
  return SHGetFolderPathA(nullptr, id, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK ? path : "?";
}

// The program and the working folder of a shortcut, "|"-separated; empty if unreadable.
std::string ShortcutTarget(const std::string& path) {
  std::string target;
  IShellLinkA* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                              reinterpret_cast<void**>(&link))))
    return target;
  IPersistFile* file = nullptr;
  const std::wstring widePath(path.begin(), path.end());
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Load(widePath.c_str(), STGM_READ))) {
    char program[MAX_PATH] = {};
    char folder[MAX_PATH] = {};
    link->GetPath(program, MAX_PATH, nullptr, 0);
    link->GetWorkingDirectory(folder, MAX_PATH);
    target = std::string(program) + "|" + folder;
  }
  if (file) file->Release();
  link->Release();
  return target;
}

bool UninstallEntry() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VeskUpdate", 0,
                    KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

void InstallerScenario(const std::string& setup) {
  const std::string folder = SystemFolder(CSIDL_PROGRAM_FILES) + "\\Vesk Update";
  const std::string installed[] = {
      folder + "\\VeskUpdate.exe", folder + "\\vesk-update.exe", folder + "\\VeskUpdate.html",
      folder + "\\Uninstall.exe",
      SystemFolder(CSIDL_COMMON_PROGRAMS) + "\\Vesk USB Update Tool.lnk"};
  ExpectEqual(RunAndWait("\"" + setup + "\" /S"), 0L, "silent install: exit status 0");
  for (const std::string& file : installed) Expect(Exists(file), file + " installed");
  Expect(UninstallEntry(), "the uninstall entry is made");
  const std::string images = SystemFolder(CSIDL_COMMON_DOCUMENTS) + "\\Vesk Update";
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  ExpectEqual(Lower(ShortcutTarget(installed[4])), Lower(installed[0] + "|" + images),
              "the Start-menu entry runs the installed dialog in the image folder");
  Expect(Exists(images), "the image folder is made");
  {
    DialogProgram program(folder + "\\VeskUpdate.exe");
    HWND dialog = program.Start();
    Expect(dialog != nullptr, "the installed dialog shows its window");
    if (dialog) {
      Click(dialog, IDOK);
      DWORD exitCode = 99;
      Expect(program.WaitForExit(kWindowTimeoutMs, exitCode), "the installed dialog closes");
    }
  }
  // The uninstaller works from a copy of itself and returns before that copy is done.
  ExpectEqual(RunAndWait("\"" + folder + "\\Uninstall.exe\" /S"), 0L,
              "silent uninstall: exit status 0");
  bool removed = false;
  for (const DWORD start = GetTickCount(); !removed && GetTickCount() - start < kWindowTimeoutMs;
       Sleep(100)) {
    removed = !Exists(folder) && !UninstallEntry();
    for (const std::string& file : installed) removed = removed && !Exists(file);
  }
  Expect(removed, "the uninstall removes the files, the folder, the shortcut and the entry");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "opened") {
    // Started by the shell for a file to open: note which.
    std::ofstream(argv[2], std::ios::binary) << argv[3];
    return 0;
  }
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: %s program.exe probe.dll no-camera|full-run [shot.bmp]|installer\n",
                 argv[0]);
    return 2;
  }
  const std::string program = argv[1];
  const std::string probe = argv[2];
  const std::string scenario = argv[3];
  if (scenario == "no-camera") {
    NoCameraScenario(program, probe);
  } else if (scenario == "full-run") {
    FullRunScenario(program, argc > 4 ? argv[4] : "");
  } else if (scenario == "installer") {
    InstallerScenario(program);
  } else {
    std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
    return 2;
  }
  return vesk::windows_tests::Summary();
}
