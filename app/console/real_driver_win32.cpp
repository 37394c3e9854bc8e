// Windows: the camera's kernel driver through SetupAPI and DeviceIoControl, the default.
#include "app/console/real_driver.h"
#include "device/win32/win32_camera_driver.h"

namespace vesk::console {

std::unique_ptr<CameraDriver> MakeRealDriver(std::string_view board) {
  if (board == "driver") return std::make_unique<win32::Win32CameraDriver>();
  return nullptr;
}

std::string_view DefaultBoard() {
  return "driver";
}

}  // namespace vesk::console
