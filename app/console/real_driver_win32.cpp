// Windows: the camera's kernel driver through SetupAPI and DeviceIoControl, the default.
#include <windows.h>

#include "app/console/real_driver.h"
#include "device/win32/win32_camera_driver.h"

namespace vesk::console {

std::unique_ptr<CameraDriver> MakeRealDriver(std::string_view board) {
  if (board == "driver") return std::make_unique<win32::Win32CameraDriver>();
  return nullptr;
}

void EnableBackEndDebugOutput() {}  // the kernel driver's messages go to the debugger

std::string_view DefaultBoard() {
  return "driver";
}

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD length = sizeof name;
  if (!GetComputerNameA(name, &length)) return {};
  return std::string(name, length);
}

}  // namespace vesk::console
