// Linux: the user-space USB driver over libusb. The kernel-driver back end exists only on
// Windows.
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>

#include "app/console/real_driver.h"
#include "device/libusb/libusb_board_source.h"
#include "device/usb/usb_camera_driver.h"

namespace vesk::console {
namespace {

class UsbDriverWithSource : public usb::UsbCameraDriver {
 public:
  explicit UsbDriverWithSource(std::unique_ptr<usb::UsbBoardSource> source)
      : usb::UsbCameraDriver(*source), source_(std::move(source)) {}

 private:
  std::unique_ptr<usb::UsbBoardSource> source_;
};

}  // namespace

std::unique_ptr<CameraDriver> MakeRealDriver(std::string_view board) {
  if (board == "usb")
    return std::make_unique<UsbDriverWithSource>(std::make_unique<usb::LibusbBoardSource>());
  return nullptr;
}

void EnableBackEndDebugOutput() {
  // Read by every libusb_init, and the back end makes a context per listing.
  setenv("LIBUSB_DEBUG", "4", 1);  // LIBUSB_LOG_LEVEL_DEBUG
}

std::string_view DefaultBoard() {
  return "usb";
}

std::string HostName() {
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0) return {};
  return name.data();
}

}  // namespace vesk::console
