// The whole board initialisation through real libusb: the core's sequence, the user-space
// driver and the libusb port on the host side; umockdev's usbfs and the emulated board,
// running our control firmware, below it.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/update_sequence.h"
#include "device/usb/usb_camera_driver.h"
#include "images/image_downloads.h"
#include "sim/board/emulated_board.h"
#include "tests/expected_logs.h"
#include "tests/libusb/mock_usb_bus.h"
#include "tests/test_support.h"

namespace vesk {
namespace {

using sim::board::EmulatedBoard;

class YesHost : public UpdateHost {
 public:
  std::function<void(const std::string&)> onLog;
  std::string log;
  void ShowStatusLog(const StatusLog& statusLog) override {
    log = std::string(statusLog.Text());
    if (onLog) onLog(log);
  }
  int AskYesNo(std::string_view, std::string_view) override { return kAnswerYes; }
};

// The bytes of the board's EEPROM at an image's place.
std::vector<std::uint8_t> EepromAt(const EmulatedBoard& board, const ImagePlace& place,
                                   std::size_t length) {
  const std::vector<std::uint8_t> all = board.SaveEepromImage();
  const auto start = all.begin() + std::ptrdiff_t((place.chip * 6 + place.bank) * 32768 + place.offset);
  return {start, start + std::ptrdiff_t(length)};
}

class LibusbInitialization : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::current_path(VESK_SAMPLES_DIR); }
  void TearDown() override { std::filesystem::current_path(previous_); }

  RunOutcome Run() {
    usb::ControlTimeouts patient;  // limits no emulated transfer comes near
    patient.firmwareLoad = patient.eepromBlockBase = patient.otherRequest = std::chrono::minutes(5);
    usb::LibusbBoardSource source(patient);
    usb::UsbCameraDriver driver(source);
    UpdateState state;
    state.handle.driver = &driver;
    return RunBoardInitialization(host_, state);
  }

  EmulatedBoard board_;
  testing::MockUsbBus bus_;
  YesHost host_;
  const std::filesystem::path previous_ = std::filesystem::current_path();
};

TEST_F(LibusbInitialization, WritesEveryImageAndTheHeaderSoTheBoardBootsAsTheCamera) {
  bus_.Add("1-2", usb::kBareFx2Identity, &board_, "usbtest");
  ASSERT_EQ(Run(), RunOutcome::Succeeded) << host_.log;
  EXPECT_EQ(host_.log, vesk::testing::kSuccessfulRunLog);
  for (const ImagePlace* place : {&kBufConPlace, &kCamConPlace, &kFx2Place, &kGpifBufConPlace,
                                  &kGpifCamConPlace, &kGpifFifoPlace}) {
    const std::vector<std::uint8_t> image = testing::ReadSample(*place->file);
    ASSERT_FALSE(image.empty()) << *place->file;
    EXPECT_EQ(EepromAt(board_, *place, image.size()), image) << *place->file;
  }
  const sim::board::BootReport boot = board_.PowerCycle();
  EXPECT_EQ(IdentityText(boot.identity.vendorId, boot.identity.productId), "125C:0010");
}

TEST_F(LibusbInitialization, BoardPulledOutDuringBufConEndsTheRunWithError3) {
  // An earlier run's valid header: the run must not leave it over the new BufCon bytes.
  std::vector<std::uint8_t> eeprom(12 * 32768, 0xFF);
  RomHeader earlier;
  earlier.SetBufConSize(90000);
  earlier.SetCamConSize(150000);
  const RomHeaderBytes earlierBytes = earlier.Encode();
  std::copy(earlierBytes.begin(), earlierBytes.end(), eeprom.begin() + 4 * 32768);
  ASSERT_TRUE(board_.LoadEepromImage(eeprom));
  testing::MockBoard& node = bus_.Add("1-2", usb::kBareFx2Identity, &board_);
  host_.onLog = [&](const std::string& log) {
    if (log.ends_with("Downloading BufCon...please wait.....\r\n")) node.UnplugAfter(1);
  };

  ASSERT_EQ(Run(), RunOutcome::Failed);
  EXPECT_TRUE(host_.log.ends_with("Downloading BufCon...please wait.....\r\n"
                                  "Error 0x3 (Failed to download BufCon)\r\n"
                                  "Camera firmware update FAILED."))
      << host_.log;
  // One beat reached the EEPROM before the cable went; the earlier header is gone.
  const std::vector<std::uint8_t> image = testing::ReadSample(*kBufConPlace.file);
  const std::vector<std::uint8_t> start = EepromAt(board_, kBufConPlace, 4096);
  EXPECT_TRUE(std::equal(start.begin(), start.end(), image.begin()));
  const std::vector<std::uint8_t> header = EepromAt(board_, {nullptr, 0, 4, 0, 0}, kRomHeaderSize);
  EXPECT_TRUE(std::all_of(header.begin(), header.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

}  // namespace
}  // namespace vesk
