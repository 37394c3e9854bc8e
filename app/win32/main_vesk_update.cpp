// The shipped dialog program: the application object over the camera's kernel driver.

#include <windows.h>

#include "app/win32/update_app.h"
#include "device/win32/win32_camera_driver.h"

namespace {
vesk::win32::Win32CameraDriver cameraDriver;
}  // namespace

CUpdateApp theApp(cameraDriver);

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  vesk::win32::InstallDebuggerOutput();
  theApp.InitInstance();
  return 0;
}
