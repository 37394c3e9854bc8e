#include "device/back_ends/back_ends.h"

#include <vector>

#include "device/usb/usb_camera_driver.h"
#include "sim/board/emulated_board.h"

namespace vesk {
namespace {

class EmulatedBackEnd : public BackEnd {
 public:
  explicit EmulatedBackEnd(unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      boards_.push_back(std::make_unique<sim::board::EmulatedBoard>());
      pointers_.push_back(boards_.back().get());
      source_.Add(*boards_.back());
    }
  }
  CameraDriver& Driver() override { return driver_; }
  std::span<sim::board::EmulatedBoard* const> EmulatedBoards() override { return pointers_; }

 private:
  std::vector<std::unique_ptr<sim::board::EmulatedBoard>> boards_;
  std::vector<sim::board::EmulatedBoard*> pointers_;
  sim::board::EmulatedBoardSource source_;
  usb::UsbCameraDriver driver_{source_};
};

}  // namespace

std::unique_ptr<BackEnd> MakeBackEnd(std::string_view name, const BackEndOptions& options) {
  if (name == "emulated") return std::make_unique<EmulatedBackEnd>(options.emulatedBoards);
  return detail::MakePlatformBackEnd(name);
}

}  // namespace vesk
