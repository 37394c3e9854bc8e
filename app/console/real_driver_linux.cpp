// Linux: the user-space USB driver. Until a libusb board source is built in, it finds no
// board, so a run fails at "Error 0x1" as with no camera attached. The kernel-driver back
// end exists only on Windows.
#include <string>

#include "app/console/real_driver.h"
#include "device/usb/usb_camera_driver.h"

namespace vesk::console {
namespace {

class NoBoards : public usb::UsbBoardSource {
 public:
  std::unique_ptr<usb::UsbControlPort> OpenMember(std::uint16_t, std::string&) override {
    return nullptr;
  }
};

class UsbDriverWithSource : public usb::UsbCameraDriver {
 public:
  explicit UsbDriverWithSource(std::unique_ptr<usb::UsbBoardSource> source)
      : usb::UsbCameraDriver(*source), source_(std::move(source)) {}

 private:
  std::unique_ptr<usb::UsbBoardSource> source_;
};

}  // namespace

std::unique_ptr<CameraDriver> MakeRealDriver(std::string_view board) {
  if (board == "usb") return std::make_unique<UsbDriverWithSource>(std::make_unique<NoBoards>());
  return nullptr;
}

std::string_view DefaultBoard() {
  return "usb";
}

}  // namespace vesk::console
