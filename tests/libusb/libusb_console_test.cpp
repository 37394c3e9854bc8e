// The console's EEPROM commands and pre-flight through real libusb, on boards that
// umockdev emulates.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/console/console_app.h"
#include "app/console/real_driver.h"
#include "device/libusb/libusb_board_source.h"
#include "sim/board/emulated_board.h"
#include "tests/libusb/mock_usb_bus.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using sim::board::EmulatedBoard;
using testing::MockUsbBus;

class LibusbConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_ = fs::temp_directory_path() /
               ("vesk-libusb-console-" + std::to_string(std::random_device{}()));
    fs::create_directories(scratch_);
  }
  void TearDown() override { fs::remove_all(scratch_); }

  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"vesk-update", "--board=usb", "--yes"});
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    std::istringstream in;
    out_.str("");
    err_.str("");
    console::ConsoleEnvironment env{in, out_, err_, false, console::MakeRealDriver, "usb"};
    return console::RunConsole(static_cast<int>(argv.size()), argv.data(), env);
  }
  std::string Path(const std::string& name) const { return (scratch_ / name).string(); }
  std::vector<std::uint8_t> ReadBack(const std::string& name) const {
    std::ifstream file(Path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
  }

  fs::path scratch_;
  std::ostringstream out_, err_;
};

std::vector<std::uint8_t> PatternImage() {
  std::vector<std::uint8_t> image(sim::board::kEepromImageSize);
  for (std::size_t i = 0; i < image.size(); ++i)
    image[i] = static_cast<std::uint8_t>(i * 37 + i / 32768);
  return image;
}

TEST_F(LibusbConsole, ReadGivesTheWholeEepromAndRestoreWritesItBack) {
  MockUsbBus bus;
  EmulatedBoard board;
  bus.AddBoard("1-2", usb::kProgrammedIdentity, board);
  const std::vector<std::uint8_t> pattern = PatternImage();
  ASSERT_TRUE(board.LoadEepromImage(pattern));

  ASSERT_EQ(Run({"read", Path("read.bin")}), console::kExitSucceeded) << err_.str();
  EXPECT_EQ(ReadBack("read.bin"), pattern);

  std::vector<std::uint8_t> other(pattern.rbegin(), pattern.rend());
  std::ofstream(Path("other.bin"), std::ios::binary)
      .write(reinterpret_cast<const char*>(other.data()), std::streamsize(other.size()));
  ASSERT_EQ(Run({"restore", Path("other.bin")}), console::kExitSucceeded) << err_.str();
  EXPECT_EQ(board.SaveEepromImage(), other);
}

TEST_F(LibusbConsole, AnUnfitImageFileEndsTheRunBeforeTheBoardIsOpened) {
  MockUsbBus bus;
  EmulatedBoard board;
  testing::MockBoard& node = bus.AddBoard("1-2", usb::kBareFx2Identity, board, "usbtest");
  for (const char* name :
       {"bufcon.bin", "tarsel_usb.iic", "gpif_bufcon.bin", "gpif_camcon.bin", "gpif_fifo.bin"})
    std::ofstream(Path(name)) << std::string(100, '\xC0');
  std::ofstream(Path("camcon.bin")) << std::string(300000, 'x');

  EXPECT_EQ(Run({"-C", scratch_.string()}), console::kExitBadInput);
  EXPECT_EQ(err_.str(), "vesk-update: camcon.bin: 300000 bytes, CamCon holds at most 196608\n");
  EXPECT_TRUE(node.Events().empty()) << "the board was claimed";
  EXPECT_EQ(node.CompletedTransfers(), 0);
}

TEST_F(LibusbConsole, TheCauseFollowsTheErrorLine) {
  {
    MockUsbBus empty;
    EXPECT_EQ(Run({"-C", VESK_SAMPLES_DIR}), console::kExitFailed);
    EXPECT_NE(err_.str().find("vesk-update: cannot open the camera: no device (looked for "
                              "04B4:8613 and 125C:0010)\n"),
              std::string::npos)
        << err_.str();
  }
  MockUsbBus bus;
  EmulatedBoard board;
  bus.AddBoard("1-2", usb::kProgrammedIdentity, board);
  board.SetBankMissing(1, 0, true);
  EXPECT_EQ(Run({"-C", VESK_SAMPLES_DIR}), console::kExitFailed);
  EXPECT_TRUE(out_.str().find("Error 0x4 (Failed to download CamCon)\nCamera firmware update "
                              "FAILED.\n") != std::string::npos)
      << out_.str();
  EXPECT_NE(err_.str().find("vesk-update: camcon.bin: request 0xC6 write, chip 1, bank 0, offset "
                            "0x0000, 4096 bytes: stall\n"),
            std::string::npos)
      << err_.str();
}

}  // namespace
}  // namespace vesk
