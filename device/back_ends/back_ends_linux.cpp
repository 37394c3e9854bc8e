// Linux: the user-space USB driver over libusb. The kernel-driver back end exists only on
// Windows.
#include <cstdlib>

#include "device/back_ends/back_ends.h"
#include "device/libusb/libusb_board_source.h"
#include "device/usb/usb_camera_driver.h"

namespace vesk {
namespace {

class LibusbBackEnd : public BackEnd {
 public:
  CameraDriver& Driver() override { return driver_; }

 private:
  usb::LibusbBoardSource source_;
  usb::UsbCameraDriver driver_{source_};
};

}  // namespace

namespace detail {
std::unique_ptr<BackEnd> MakePlatformBackEnd(std::string_view name) {
  if (name == "usb") return std::make_unique<LibusbBackEnd>();
  return nullptr;
}
}  // namespace detail

std::string_view DefaultBackEnd() {
  return "usb";
}

void EnableBackEndDebugOutput() {
  // Read by every libusb_init, and the back end makes a context per listing.
  setenv("LIBUSB_DEBUG", "4", 1);  // LIBUSB_LOG_LEVEL_DEBUG
}

}  // namespace vesk
