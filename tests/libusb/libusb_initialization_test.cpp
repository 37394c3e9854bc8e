// The whole board initialisation through real libusb: the core's sequence, the user-space
// driver and the libusb port on the host side; umockdev's usbfs and the emulated board,
// running our control firmware, below it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/update_sequence.h"
#include "device/debug_output.h"
#include "device/libusb/libusb_board_source.h"
#include "device/usb/usb_camera_driver.h"
#include "images/image_downloads.h"
#include "sim/board/emulated_board.h"
#include "tests/expected_logs.h"
#include "tests/libusb/mock_usb_bus.h"

namespace vesk {
namespace {

using sim::board::EmulatedBoard;
using testing::MockBoard;
using testing::MockUsbBus;

const std::string kSuccessLog(vesk::testing::kSuccessfulRunLog);

// Limits no emulated transfer comes near, however slow the machine: a hang still ends.
usb::ControlTimeouts Patient() {
  usb::ControlTimeouts timeouts;
  timeouts.firmwareLoad = timeouts.eepromBlockBase = timeouts.otherRequest =
      std::chrono::minutes(5);
  return timeouts;
}

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

std::vector<std::uint8_t> ReadSample(const std::string& name) {
  std::ifstream file(std::filesystem::path(VESK_SAMPLES_DIR) / name, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// The bytes of the board's EEPROM at an image's place, as long as the image.
std::vector<std::uint8_t> EepromAt(const EmulatedBoard& board, const ImagePlace& place,
                                   std::size_t length) {
  const std::vector<std::uint8_t> all = board.SaveEepromImage();
  const std::size_t start = (std::size_t(place.chip) * 6 + place.bank) * 32768 + place.offset;
  return {all.begin() + std::ptrdiff_t(start), all.begin() + std::ptrdiff_t(start + length)};
}

bool Erased(const EmulatedBoard& board) {
  for (std::uint8_t byte : board.SaveEepromImage())
    if (byte != 0xFF) return false;
  return true;
}

class LibusbInitialization : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(VESK_SAMPLES_DIR);
    oldSink_ = SetDebugSink([this](std::string_view line) { debug_ += std::string(line) + "\n"; });
  }
  void TearDown() override {
    SetDebugSink(std::move(oldSink_));
    std::filesystem::current_path(previous_);
  }

  RunOutcome Run(YesHost& host) {
    usb::LibusbBoardSource source(Patient());
    usb::UsbCameraDriver driver(source);
    UpdateState state;
    state.handle.driver = &driver;
    const RunOutcome outcome = RunBoardInitialization(host, state);
    path_ = state.devicePath.data();
    return outcome;
  }

  std::filesystem::path previous_;
  DebugSink oldSink_;
  std::string debug_;
  std::string path_;
};

TEST_F(LibusbInitialization, WritesEveryImageAndTheHeaderIntoTheBoardThatIsMemberZero) {
  MockUsbBus bus;
  EmulatedBoard first, second;
  MockBoard& firstNode = bus.AddBoard("1-2", usb::kBareFx2Identity, first, "usbtest");
  MockBoard& secondNode = bus.AddBoard("1-3.4", usb::kBareFx2Identity, second);
  YesHost host;

  ASSERT_EQ(Run(host), RunOutcome::Succeeded) << host.log << debug_;
  EXPECT_EQ(host.log, kSuccessLog);
  EXPECT_TRUE(debug_.empty()) << debug_;

  ASSERT_TRUE(path_ == "usb:1-2" || path_ == "usb:1-3.4") << path_;
  EmulatedBoard& written = path_ == "usb:1-2" ? first : second;
  EmulatedBoard& untouched = path_ == "usb:1-2" ? second : first;
  EXPECT_TRUE(Erased(untouched));
  for (const ImagePlace* place : {&kBufConPlace, &kCamConPlace, &kFx2Place, &kGpifBufConPlace,
                                  &kGpifCamConPlace, &kGpifFifoPlace}) {
    const std::vector<std::uint8_t> image = ReadSample(*place->file);
    ASSERT_FALSE(image.empty()) << *place->file;
    EXPECT_EQ(EepromAt(written, *place, image.size()), image) << *place->file;
  }

  // After the power cycle the board boots from what was written, as the camera.
  const sim::board::BootReport boot = written.PowerCycle();
  EXPECT_EQ(boot.identity.vendorId, 0x125C);
  EXPECT_EQ(boot.identity.productId, 0x0010);

  // The kernel driver that had the bare FX2 got it back when the run closed the board.
  if (&written == &first) {
    EXPECT_EQ(firstNode.Events().front(), "detach usbtest");
    EXPECT_EQ(firstNode.Events().back(), "attach usbtest");
  }
  EXPECT_TRUE(secondNode.Events().empty() || &written == &second);
}

TEST_F(LibusbInitialization, BoardPulledOutDuringBufConEndsTheRunWithError3) {
  MockUsbBus bus;
  EmulatedBoard board;
  // The board holds an earlier run's valid header: the run must not leave it over the new
  // BufCon bytes.
  std::vector<std::uint8_t> eeprom(12 * 32768, 0xFF);
  RomHeader earlier;
  earlier.SetBufConSize(90000);
  earlier.SetCamConSize(150000);
  const RomHeaderBytes earlierBytes = earlier.Encode();
  std::copy(earlierBytes.begin(), earlierBytes.end(), eeprom.begin() + 4 * 32768);
  ASSERT_TRUE(board.LoadEepromImage(eeprom));
  MockBoard& node = bus.AddBoard("1-2", usb::kBareFx2Identity, board);
  YesHost host;
  host.onLog = [&](const std::string& log) {
    if (log.ends_with("Downloading BufCon...please wait.....\r\n")) node.UnplugAfter(1);
  };

  ASSERT_EQ(Run(host), RunOutcome::Failed);
  EXPECT_TRUE(
      host.log.ends_with("Downloading BufCon...please wait.....\r\n"
                         "Error 0x3 (Failed to download BufCon)\r\n"
                         "Camera firmware update FAILED."))
      << host.log;
  EXPECT_NE(debug_.find("ERROR:  Failed mid-beat EEPROM write call."), std::string::npos) << debug_;
  EXPECT_NE(debug_.find("LIBUSB_ERROR_NO_DEVICE"), std::string::npos) << debug_;
  // One beat reached the EEPROM before the cable went.
  const std::vector<std::uint8_t> image = ReadSample(*kBufConPlace.file);
  const std::vector<std::uint8_t> start = EepromAt(board, kBufConPlace, 4096);
  EXPECT_TRUE(std::equal(start.begin(), start.end(), image.begin()));
  const std::vector<std::uint8_t> header =
      EepromAt(board, {nullptr, 0, 4, 0, kRomHeaderSize}, kRomHeaderSize);
  EXPECT_TRUE(std::all_of(header.begin(), header.end(), [](std::uint8_t b) { return b == 0xFF; }))
      << "the earlier header is still in place";
}

TEST_F(LibusbInitialization, EepromThatDoesNotAnswerStallsTheWriteAndEndsTheRun) {
  MockUsbBus bus;
  EmulatedBoard board;
  bus.AddBoard("1-2", usb::kProgrammedIdentity, board);
  board.SetBankMissing(kCamConPlace.chip, kCamConPlace.bank, true);
  YesHost host;

  ASSERT_EQ(Run(host), RunOutcome::Failed);
  EXPECT_TRUE(
      host.log.ends_with("Error 0x4 (Failed to download CamCon)\r\n"
                         "Camera firmware update FAILED."))
      << host.log;
  EXPECT_NE(debug_.find("request 0xC6, value 0x0100, index 0x0000, length 4096) failed: "
                        "LIBUSB_ERROR_PIPE"),
            std::string::npos)
      << debug_;
  EXPECT_NE(debug_.find("EEPROM write call."), std::string::npos) << debug_;
}

}  // namespace
}  // namespace vesk
