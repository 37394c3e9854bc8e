#pragma once
// The application object: builds the main dialog, runs it modally and lets the process
// end when it closes. It also carries out the help command.

#include <windows.h>

#include <string>

#include "device/camera_driver.h"

class CUpdateApp {
 public:
  // `driver` is the back end every run of the main dialog talks to; it outlives the app.
  explicit CUpdateApp(vesk::CameraDriver& driver) : driver_(driver) {}
  ~CUpdateApp() = default;
  CUpdateApp(const CUpdateApp&) = delete;
  CUpdateApp& operator=(const CUpdateApp&) = delete;

  // Runs the main dialog until it is closed. Returns false: the process then ends.
  BOOL InitInstance();

  // The help command: asks the help engine for the main dialog's topic in the help file,
  // or else has the shell open the HTML manual, and says so in a message box when neither
  // can be shown.
  void OnHelp();

  HWND MainWindow() const { return mainWindow_; }
  void SetMainWindow(HWND window) { mainWindow_ = window; }

  // The program file's base name, e.g. "VeskUpdate".
  std::string ApplicationName() const;
  // The program file's path with its extension replaced by ".HLP".
  std::string HelpFilePath() const;
  // The HTML manual: the program file's path with its extension replaced by ".html".
  std::string ManualPath() const;

 private:
  std::string ModulePathWithExtension(const char* extension) const;

  vesk::CameraDriver& driver_;
  HWND mainWindow_ = nullptr;
};

// The one application object; defined by the program's entry file.
extern CUpdateApp theApp;

// The context the main dialog supplies to the help engine: 0x20000 plus its template id.
inline constexpr DWORD kMainDialogHelpContext = 0x20000 + 102;
