// The shipped dialog program: the application object over the platform's default back
// end, the camera's kernel driver.

#include <windows.h>

#include <memory>

#include "app/win32/update_app.h"
#include "device/back_ends/back_ends.h"
#include "device/win32/win32_camera_driver.h"

namespace {
const std::unique_ptr<vesk::BackEnd> backEnd = vesk::MakeBackEnd(vesk::DefaultBackEnd());
}  // namespace

CUpdateApp theApp(backEnd->Driver());

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  vesk::win32::InstallDebuggerOutput();
  theApp.InitInstance();
  return 0;
}
