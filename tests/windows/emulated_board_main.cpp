// The dialog program for the tests: the same application and dialog as the shipped
// program, over the emulated board (its firmware, EEPROMs and time) instead of the
// camera's kernel driver. The shipped program has no way to choose this.

#include <windows.h>

#include "app/win32/update_app.h"
#include "device/usb/usb_camera_driver.h"
#include "device/win32/win32_camera_driver.h"
#include "sim/board/emulated_board.h"

namespace {
vesk::sim::board::EmulatedBoard board;
vesk::sim::board::EmulatedBoardSource boards(board);
vesk::usb::UsbCameraDriver emulatedDriver(boards);
}  // namespace

CUpdateApp theApp(emulatedDriver);

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  vesk::win32::InstallDebuggerOutput();
  theApp.InitInstance();
  return 0;
}
