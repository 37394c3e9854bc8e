// Drives the shipped dialog program from beside it, as an operator would, and checks what
// is the dialog's own: its questions, Start, Close and Help disabled during a run and
// enabled after it, close requests held until the verdict, the About box, Help, and how
// the status box ends (the whole log of a run is the system tests' business). The dialog
// must answer a message within a second throughout. Usage:
//   vesk-dialog-test <program.exe> <probe.dll> no-camera  no board attached
//   vesk-dialog-test <program.exe> <probe.dll> driver     boards of the test driver: whole
//                                                         runs, failing requests, a removal
// The shell runs "vesk-dialog-test opened RECORD FILE" to open the manual (see Help).

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/win32/resource.h"
#include "app/win32/tests/board_driver/board_commands.h"
#include "app/win32/tests/expectations.h"

namespace {

using namespace vesk::windows_tests;

constexpr const char* kDialogCaption = "Tarsel Vesk USB Update Tool";
constexpr const char* kQuestionCaption = "Vesk USB Update - Confirmation";
constexpr const char* kProceedQuestion = "Proceed with raw USB device initialization?";
constexpr const char* kPowerCycleQuestion =
    "Please power cycle the camera.\n\nAfter power cycle, the camera's red LEDs should blink "
    "when the camera is ready.\n\nIs the camera ready?";
constexpr const char* kCancelled = "\r\nInitialization cancelled by user\r\n";
constexpr const char* kFailed = "\r\nCamera firmware update FAILED.";
constexpr const char* kSucceeded = "\r\nCamera firmware update SUCCESSFUL.  Update complete.";
// Hang detection only: a healthy step takes a fraction of these.
constexpr DWORD kWindowTimeoutMs = 60000;
constexpr DWORD kRunTimeoutMs = 120000;

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

bool HasChildText(HWND window, const std::string& text) {
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    if (WindowText(child) == text) return true;
  return false;
}

bool EndsWith(const std::string& text, const std::string& ending) {
  return text.size() >= ending.size() &&
         text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

std::string StatusText(HWND dialog) {
  return WindowText(GetDlgItem(dialog, IDC_STATUS_BOX));
}

// Start, Close and Help: how many of them are enabled.
int EnabledRunButtons(HWND dialog) {
  return IsWindowEnabled(GetDlgItem(dialog, IDC_START_INITIALIZATION)) +
         IsWindowEnabled(GetDlgItem(dialog, IDOK)) + IsWindowEnabled(GetDlgItem(dialog, ID_HELP));
}

// The dialog takes input again and its log ends with a verdict.
bool RunEnded(HWND dialog) {
  const std::string log = StatusText(dialog);
  return IsWindowEnabled(dialog) &&
         (EndsWith(log, kCancelled) || EndsWith(log, kFailed) || EndsWith(log, kSucceeded));
}

void Click(HWND dialog, int id) {
  PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void Answer(HWND box, int button) {
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
}

void PressEsc(HWND window) {
  PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
}

class DialogProgram {
 public:
  explicit DialogProgram(std::string path) : path_(std::move(path)) {}
  ~DialogProgram() {
    if (!process_.hProcess) return;
    if (Running()) TerminateProcess(process_.hProcess, 99);
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
  }

  // Starts the program and waits for its main dialog.
  HWND Start() {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + path_ + "\"";
    // Wine now and then refuses a start right after the program's last instance ended.
    for (int attempt = 0; attempt < 5 && !process_.hProcess; ++attempt) {
      if (!CreateProcessA(path_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process_))
        Sleep(500);
    }
    if (process_.hProcess) dialog_ = WaitForWindow(kDialogCaption, nullptr, kWindowTimeoutMs);
    Expect(dialog_ != nullptr, "the dialog of " + path_ + " appears");
    return dialog_;
  }

  // A visible top-level window of this program with `caption` (and `owner`, if given).
  HWND FindWindowOf(const std::string& caption, HWND owner) const {
    for (HWND window = nullptr;
         (window = FindWindowExA(nullptr, window, nullptr, caption.c_str())) != nullptr;) {
      DWORD processId = 0;
      GetWindowThreadProcessId(window, &processId);
      if (processId == process_.dwProcessId && IsWindowVisible(window) &&
          (!owner || GetWindow(window, GW_OWNER) == owner))
        return window;
    }
    return nullptr;
  }

  // Waits until `done` holds; meanwhile the dialog must answer a message within a second.
  bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    for (const DWORD start = GetTickCount(); !done(); Sleep(20)) {
      if (GetTickCount() - start > timeoutMs) return false;
      DWORD_PTR result = 0;
      if (IsWindow(dialog_) &&
          !SendMessageTimeoutA(dialog_, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result) &&
          IsWindow(dialog_) && unanswered_++ == 0)
        std::printf("the dialog did not answer within a second; its log: %s\n",
                    StatusText(dialog_).c_str());
    }
    return true;
  }

  HWND WaitForWindow(const std::string& caption, HWND owner, DWORD timeoutMs) {
    HWND window = nullptr;
    WaitUntil([&] { return (window = FindWindowOf(caption, owner)) != nullptr; }, timeoutMs);
    return window;
  }

  // Waits for the program to end; checks that it ends with status 0.
  void ExpectExit(const std::string& what) {
    DWORD exitCode = 99;
    if (WaitForSingleObject(process_.hProcess, kRunTimeoutMs) == WAIT_OBJECT_0)
      GetExitCodeProcess(process_.hProcess, &exitCode);
    Expect(exitCode == 0, what + " ends the program with status 0");
  }

  bool Running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }
  HWND Dialog() const { return dialog_; }
  int Unanswered() const { return unanswered_; }
  // The caption of the program's own message boxes: its base name.
  std::string Name() const {
    const std::string name = path_.substr(path_.find_last_of("\\/") + 1);
    return name.substr(0, name.find_last_of('.'));
  }

 private:
  std::string path_;
  PROCESS_INFORMATION process_{};
  HWND dialog_ = nullptr;
  int unanswered_ = 0;
};

// Keeps what every program sends to the debugger output while no debugger is attached,
// as a debug monitor does: through the system's DBWIN buffer and its two events.
class DebugOutputMonitor {
 public:
  DebugOutputMonitor()
      : bufferReady_(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY")),
        dataReady_(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY")),
        buffer_(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                   "DBWIN_BUFFER")),
        view_(buffer_ ? static_cast<const char*>(MapViewOfFile(buffer_, FILE_MAP_READ, 0, 0, 0))
                      : nullptr) {
    if (bufferReady_ && dataReady_ && view_) reader_ = std::thread([this] { Read(); });
  }
  ~DebugOutputMonitor() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    if (view_) UnmapViewOfFile(view_);
    for (HANDLE handle : {buffer_, dataReady_, bufferReady_})
      if (handle) CloseHandle(handle);
  }
  bool Listening() const { return reader_.joinable(); }

  // The text sent since the last call, one message a line.
  std::string Take() {
    const std::lock_guard hold(lock_);
    return std::exchange(text_, {});
  }

 private:
  void Read() {
    SetEvent(bufferReady_);
    while (!stop_) {
      if (WaitForSingleObject(dataReady_, 100) != WAIT_OBJECT_0) continue;
      // The sender's process id, then its zero-terminated text.
      const std::string message(view_ + sizeof(DWORD), strnlen(view_ + sizeof(DWORD), 4092));
      {
        const std::lock_guard hold(lock_);
        text_ += message + "\n";
      }
      SetEvent(bufferReady_);
    }
  }

  HANDLE bufferReady_, dataReady_, buffer_;
  const char* view_;
  std::thread reader_;
  std::atomic<bool> stop_ = false;
  std::mutex lock_;
  std::string text_;
};

// A run: Start, the answers, what is done meanwhile, and how it ends.
struct Run {
  const char* name;
  int proceed;                     // the answer to the confirmation; 0: no box can be shown
  void (*duringRun)(HWND dialog);  // once the run is under way, or null
  int powerCycle;                  // the answer to the power-cycle question; 0: not asked
  const char* ending;              // how the status box ends; null: the program ends
};

// Waits for the question box with `text` and answers it; while it is open the dialog,
// Start, Close and Help take no input.
bool AnswerQuestion(DialogProgram& program, const char* text, int answer, const std::string& run) {
  HWND dialog = program.Dialog();
  HWND box = nullptr;
  program.WaitUntil(
      [&] {
        box = program.FindWindowOf(kQuestionCaption, dialog);
        return box || RunEnded(dialog) || !program.Running();
      },
      kRunTimeoutMs);
  Expect(box && HasChildText(box, text),
         run + ": asks \"" + std::string(text).substr(0, 30) + "\"; log: " + StatusText(dialog));
  if (!box) return false;
  Expect(!IsWindowEnabled(dialog) && EnabledRunButtons(dialog) == 0,
         run + ": the dialog, Start, Close and Help are disabled during the run");
  Answer(box, answer);
  return program.WaitUntil([&] { return !IsWindow(box) || !program.Running(); },
                           kWindowTimeoutMs);
}

// Does the run and checks how it ends; false when it went wrong.
bool CheckRun(DialogProgram& program, const std::string& probeDll, const Run& run) {
  HWND dialog = program.Dialog();
  // The run's ending is the only one in the status box.
  DWORD_PTR result = 0;
  SendMessageTimeoutA(GetDlgItem(dialog, IDC_STATUS_BOX), WM_SETTEXT, 0,
                      reinterpret_cast<LPARAM>(""), SMTO_NORMAL, 5000, &result);
  // The probe's hook refuses every dialog-class window on the dialog's thread.
  HMODULE probe = run.proceed ? nullptr : LoadLibraryA(probeDll.c_str());
  const auto refuse = reinterpret_cast<HOOKPROC>(
      reinterpret_cast<void*>(GetProcAddress(probe, "VeskRefuseDialogsHook")));
  HHOOK hook = refuse ? SetWindowsHookExA(WH_CBT, refuse, probe,
                                          GetWindowThreadProcessId(dialog, nullptr))
                      : nullptr;
  Expect(run.proceed || hook, std::string(run.name) + ": box-refusing hook attached");
  const std::string name = run.name;
  Click(dialog, IDC_START_INITIALIZATION);
  bool ok = !run.proceed || AnswerQuestion(program, kProceedQuestion, run.proceed, name);
  if (ok && run.duringRun) run.duringRun(dialog);
  ok = ok && (!run.powerCycle ||
              AnswerQuestion(program, kPowerCycleQuestion, run.powerCycle, name));
  if (ok && !run.ending) {
    program.ExpectExit(name + ": the held close request");
  } else if (ok) {
    ok = program.WaitUntil([&] { return RunEnded(dialog); }, kRunTimeoutMs);
    Expect(ok && EndsWith(StatusText(dialog), run.ending),
           name + ": the log ends with \"" + run.ending + "\"; it is: " + StatusText(dialog));
    Expect(EnabledRunButtons(dialog) == 3, name + ": Start, Close and Help enabled after it");
    Sleep(500);
    Expect(!program.FindWindowOf(kQuestionCaption, dialog), name + ": no run starts after it");
  }
  if (hook) UnhookWindowsHookEx(hook);
  return ok;
}

// The About box opens from the system menu's command (the system may set its low four
// bits) and ends with OK or Esc, giving the dialog back.
void CheckAboutBoxes(DialogProgram& program) {
  HWND dialog = program.Dialog();
  for (const auto& [command, withEsc] :
       {std::pair{IDM_ABOUTBOX, false}, std::pair{IDM_ABOUTBOX | 0xF, true}}) {
    const std::string name = "About box by system command " + std::to_string(command);
    PostMessageA(dialog, WM_SYSCOMMAND, static_cast<WPARAM>(command), 0);
    HWND about = program.WaitForWindow("About Pelkor", dialog, kWindowTimeoutMs);
    Expect(about != nullptr, name + " opens");
    if (!about) return;
    Expect(!IsWindowEnabled(dialog), name + " disables the dialog");
    if (withEsc)
      PressEsc(GetDlgItem(about, IDOK));
    else
      Click(about, IDOK);
    Expect(program.WaitUntil([&] { return IsWindowEnabled(dialog) && !IsWindowVisible(about); },
                             kWindowTimeoutMs),
           name + " ends and the dialog takes input again");
  }
}

std::string FileText(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// From now on the shell opens .html files with this program, which writes the opened
// file's path into `record` (the test prefix is the build's own).
bool RecordShellOpens(const std::string& record) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  const std::string command = "\"" + std::string(self) + "\" opened \"" + record + "\" \"%1\"";
  return RegSetKeyValueA(HKEY_CLASSES_ROOT, ".html", nullptr, REG_SZ, "VeskTest.manual", 16) == 0 &&
         RegSetKeyValueA(HKEY_CLASSES_ROOT, "VeskTest.manual\\shell\\open\\command", nullptr,
                         REG_SZ, command.c_str(), static_cast<DWORD>(command.size() + 1)) == 0;
}

// Help has the shell open the manual beside the program; without one it says that it
// failed, and the dialog stays usable.
void CheckHelp(DialogProgram& program, bool manualBeside) {
  HWND dialog = program.Dialog();
  char folder[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, folder);
  const std::string record = std::string(folder) + "\\help-opened.txt";
  DeleteFileA(record.c_str());
  Expect(RecordShellOpens(record), "the shell's opening of .html files is recorded");
  Click(dialog, ID_HELP);
  HWND failure = nullptr;
  std::string opened;
  program.WaitUntil(
      [&] {
        failure = program.FindWindowOf(program.Name(), dialog);
        return failure || !(opened = FileText(record)).empty();
      },
      kWindowTimeoutMs);
  if (manualBeside)
    Expect(!failure && EndsWith(CharLowerA(opened.data()), "\\veskupdate.html") &&
               GetFileAttributesA(opened.c_str()) != INVALID_FILE_ATTRIBUTES,
           "Help opens the manual beside the program: " + opened);
  else
    Expect(failure && HasChildText(failure, "Failed to launch help."),
           "Help without a manual says \"Failed to launch help.\"");
  if (!failure) return;
  Answer(failure, IDOK);
  Expect(program.WaitUntil([&] { return IsWindowEnabled(dialog) != FALSE; }, kWindowTimeoutMs),
         "the dialog takes input again after Help");
}

// The runs of the shipped program without a camera: they end before the camera is
// opened or at it.
const Run kNoCameraRuns[] = {
    {"No at the confirmation", IDNO, nullptr, 0, kCancelled},
    {"a confirmation that cannot be shown", 0, nullptr, 0, kCancelled},
    {"no camera", IDYES, nullptr, 0,
     "\r\nError 0x1 (Failed to connect to camera)\r\nCamera firmware update FAILED."},
};

// Runs to the power-cycle question on a board; the last one ends the program with a close
// request held until its verdict.
const Run kBoardRuns[] = {
    {"No at the power-cycle question", IDYES, nullptr, IDNO,
     "\r\nError 0x8 (Failed to correctly power cycle\r\nCamera firmware update FAILED."},
    {"Start pressed again during a run", IDYES,
     [](HWND dialog) { Click(dialog, IDC_START_INITIALIZATION); }, IDYES, kSucceeded},
    {"a close request during a run", IDYES,
     [](HWND dialog) { PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0); }, IDYES, nullptr},
};

// The About box, Help, the runs, and the three ways to close the dialog (each on a
// program of its own).
void Scenario(const std::string& path, const std::string& probeDll, std::span<const Run> runs) {
  const struct {
    const char* how;
    void (*close)(HWND dialog);
  } closes[] = {
      {"Close", [](HWND dialog) { Click(dialog, IDOK); }},
      {"Esc", [](HWND dialog) { PressEsc(GetDlgItem(dialog, IDC_START_INITIALIZATION)); }},
      {"the close box", [](HWND dialog) { PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }},
  };
  for (const auto& [how, close] : closes) {
    DialogProgram program(path);
    HWND dialog = program.Start();
    if (!dialog) return;
    if (close == closes[0].close) {  // the first program does everything before it closes
      // As the shell does once the task-bar button exists: the runs report their progress.
      DWORD_PTR result = 0;
      SendMessageTimeoutA(dialog, RegisterWindowMessageA("TaskbarButtonCreated"), 0, 0,
                          SMTO_NORMAL, 5000, &result);
      CheckAboutBoxes(program);
      CheckHelp(program, true);
      // Once more with the manual moved aside.
      const std::string manual = path.substr(0, path.rfind('.')) + ".html";
      const std::string aside = manual + ".aside";
      const bool moved = MoveFileA(manual.c_str(), aside.c_str()) != FALSE;
      Expect(moved, "the manual beside the program moved aside: " + manual);
      if (moved) {
        CheckHelp(program, false);
        MoveFileA(aside.c_str(), manual.c_str());
      }
      for (const Run& run : runs)
        if (!CheckRun(program, probeDll, run)) break;
      Expect(program.Unanswered() == 0, "the dialog answered within a second throughout");
    }
    if (!program.Running()) continue;
    close(dialog);
    program.ExpectExit(how);
  }
}

constexpr const char* kFailedVerdict = "Camera firmware update FAILED.";

// The shipped program on the test driver's boards: a whole run, a second one on the same
// board, a request failing at each step's first and last request and a removal during
// CamCon (the step's error line, FAILED, and the driver's status in the debugger output),
// two boards of which it writes the first only, and the runs of kBoardRuns.
void DriverScenario(const std::string& path, const std::string& probeDll) {
  if (BoardCommandPaths().size() != 2)
    return Expect(false, "the test driver's two boards are installed");
  Expect(AttachErasedBoards(1), "one erased board attached");
  DebugOutputMonitor debugOutput;
  Expect(debugOutput.Listening(), "the debugger output is monitored");
  DialogProgram program(path);
  if (!program.Start()) return;
  const std::vector<std::uint8_t> written = ImagesAsWritten();
  const Run whole = {"a whole run through the driver", IDYES, nullptr, IDYES, kSucceeded};
  if (!CheckRun(program, probeDll, whole)) return;
  Expect(FileBytes(BoardFile(0)) == written, "the EEPROM holds the images and the header");
  const std::optional<std::string> log = BoardCommand(0, "log");
  const std::vector<StepRequests> steps = StepsOfLoggedRun(log.value_or(""));
  const Run again = {"a second run on the same board", IDYES, nullptr, IDYES, kSucceeded};
  CheckRun(program, probeDll, again);

  Expect(steps.size() == 6 && steps[2].last > steps[2].first + 2, "the steps of the run");
  for (const PlantedFault& fault : RequestFaults(steps)) {
    Expect(AttachErasedBoards(1) && BoardCommand(0, fault.command), fault.command + ": planted");
    debugOutput.Take();
    const std::string ending = "\r\n" + fault.errorLine + "\r\n" + kFailedVerdict;
    const std::string name = "dialog, " + fault.command;
    if (!CheckRun(program, probeDll, {name.c_str(), IDYES, nullptr, 0, ending.c_str()})) return;
    const std::string output = debugOutput.Take();
    Expect(output.find(fault.cause) != std::string::npos,
           name + ": the debugger output names \"" + fault.cause + "\": " + output);
  }

  Expect(AttachErasedBoards(2), "two erased boards attached");
  CheckRun(program, probeDll, {"two boards", IDYES, nullptr, IDYES, kSucceeded});
  Expect(FileBytes(BoardFile(0)) == written && FileBytes(BoardFile(1)).empty(),
         "with two boards the dialog writes interface 0 only");
  Expect(AttachErasedBoards(1), "one erased board attached");
  for (const Run& run : kBoardRuns)
    if (!CheckRun(program, probeDll, run)) break;
  Expect(program.Unanswered() == 0, "the dialog answered within a second throughout");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "opened") {
    // Started by the shell for a file to open: note which.
    std::ofstream(argv[2], std::ios::binary) << argv[3];
    return 0;
  }
  const std::string scenario = argc >= 4 ? argv[3] : "";
  if (scenario == "no-camera") {
    Expect(AttachErasedBoards(0), "no board attached");
    Scenario(argv[1], argv[2], kNoCameraRuns);
  } else if (scenario == "driver") {
    DriverScenario(argv[1], argv[2]);
  } else {
    std::fprintf(stderr, "usage: %s program.exe probe.dll no-camera|driver\n", argv[0]);
    return 2;
  }
  return vesk::windows_tests::Summary();
}
