#include "app/win32/update_app.h"

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
  CUpdateDlg dlg(driver_);
  dlg.DoModal();  // 1, 2 or -1: the process ends in every case
  mainWindow_ = nullptr;
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
  std::string path = ModulePath();
  const std::size_t dot = ExtensionStart(path);
  if (dot != std::string::npos) path.erase(dot);
  return path + ".HLP";
}

void CUpdateApp::OnHelp() {
  const std::string helpFile = HelpFilePath();
  if (!WinHelpA(mainWindow_, helpFile.c_str(), HELP_CONTEXT, kMainDialogHelpContext)) {
    const std::string caption = ApplicationName();
    MessageBoxA(mainWindow_, "Failed to launch help.", caption.c_str(), MB_OK | MB_ICONEXCLAMATION);
  }
}
