#include "app/win32/update_app.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <array>

#include "app/win32/update_dlg.h"

namespace {

std::string ModulePath() {
  std::array<char, MAX_PATH * 4> path{};
  const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return {};
  return std::string(path.data(), length);
}

// Where the extension of the path's last component starts, or npos.
std::size_t ExtensionStart(const std::string& path) {
  const std::size_t dot = path.find_last_of('.');
  const std::size_t separator = path.find_last_of("\\/");
  if (dot == std::string::npos || (separator != std::string::npos && dot < separator))
    return std::string::npos;
  return dot;
}

}  // namespace

BOOL CUpdateApp::InitInstance() {
  // The manifest asks for version 6 of the common controls; they register their window
  // classes here. COM serves the task-bar button and the shell's opening of the manual.
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  {
    CUpdateDlg dlg(driver_);
    dlg.DoModal();  // 1, 2 or -1: the process ends in every case
  }
  mainWindow_ = nullptr;
  if (com) CoUninitialize();
  return FALSE;
}

std::string CUpdateApp::ApplicationName() const {
  std::string path = ModulePath();
  const std::size_t separator = path.find_last_of("\\/");
  if (separator != std::string::npos) path.erase(0, separator + 1);
  const std::size_t dot = ExtensionStart(path);
  if (dot != std::string::npos) path.erase(dot);
  return path;
}

std::string CUpdateApp::HelpFilePath() const {
  return ModulePathWithExtension(".HLP");
}

std::string CUpdateApp::ManualPath() const {
  return ModulePathWithExtension(".html");
}

std::string CUpdateApp::ModulePathWithExtension(const char* extension) const {
  std::string path = ModulePath();
  const std::size_t dot = ExtensionStart(path);
  if (dot != std::string::npos) path.erase(dot);
  return path + extension;
}

void CUpdateApp::OnHelp() {
  // The help engine is asked only for a help file that is there: Windows since Vista
  // cannot show one at all, and without the file it has nothing to show either. The
  // HTML manual beside the program takes its place.
  const std::string helpFile = HelpFilePath();
  if (GetFileAttributesA(helpFile.c_str()) != INVALID_FILE_ATTRIBUTES &&
      WinHelpA(mainWindow_, helpFile.c_str(), HELP_CONTEXT, kMainDialogHelpContext))
    return;
  const std::string manual = ManualPath();
  const auto opened = reinterpret_cast<INT_PTR>(
      ShellExecuteA(mainWindow_, "open", manual.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (opened > 32) return;
  const std::string caption = ApplicationName();
  MessageBoxA(mainWindow_, "Failed to launch help.", caption.c_str(), MB_OK | MB_ICONEXCLAMATION);
}
