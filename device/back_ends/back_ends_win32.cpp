// Windows: the camera's kernel driver through SetupAPI and DeviceIoControl, the default.
#include "device/back_ends/back_ends.h"
#include "device/win32/win32_camera_driver.h"

namespace vesk {
namespace {

class KernelDriverBackEnd : public BackEnd {
 public:
  CameraDriver& Driver() override { return driver_; }

 private:
  win32::Win32CameraDriver driver_;
};

}  // namespace

namespace detail {
std::unique_ptr<BackEnd> MakePlatformBackEnd(std::string_view name) {
  if (name == "driver") return std::make_unique<KernelDriverBackEnd>();
  return nullptr;
}
}  // namespace detail

std::string_view DefaultBackEnd() {
  return "driver";
}

void EnableBackEndDebugOutput() {}  // the kernel driver's messages go to the debugger

}  // namespace vesk
