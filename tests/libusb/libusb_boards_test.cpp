// vesk-update's board choice through real libusb: a bus with a bare FX2, a board with the
// camera's identity and another USB device that must never be listed, opened or written.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/console/console_app.h"
#include "device/libusb/libusb_board_source.h"
#include "device/usb/usb_camera_driver.h"
#include "sim/board/emulated_board.h"
#include "tests/libusb/mock_usb_bus.h"
#include "tests/libusb/scripted_port.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using sim::board::EmulatedBoard;

class PatientUsbDriver : public usb::UsbCameraDriver {
 public:
  PatientUsbDriver() : usb::UsbCameraDriver(source_) {}

 private:
  static usb::ControlTimeouts Patient() {
    usb::ControlTimeouts timeouts;
    timeouts.firmwareLoad = timeouts.eepromBlockBase = timeouts.otherRequest =
        std::chrono::minutes(5);
    return timeouts;
  }
  usb::LibusbBoardSource source_{Patient()};
};

class LibusbBoards : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_.AddBoard("1-2", usb::kBareFx2Identity, bare_);
    bus_.AddBoard("1-3", usb::kProgrammedIdentity, camera_);
    other_ = &bus_.AddBoard("1-4", {0x1234, 0x5678}, unrelated_);
    // Small images: a few beats per board.
    images_ = fs::temp_directory_path() / ("vesk-libusb-console-" + std::to_string(std::random_device{}()));
    fs::create_directories(images_);
    fs::copy_file(fs::path(VESK_SAMPLES_DIR) / "tarsel_usb.iic", images_ / "tarsel_usb.iic");
    for (const auto& [name, size] : {std::pair{"bufcon.bin", 3000}, std::pair{"camcon.bin", 200},
                                     std::pair{"gpif_bufcon.bin", 128},
                                     std::pair{"gpif_camcon.bin", 128},
                                     std::pair{"gpif_fifo.bin", 100}})
      std::ofstream(images_ / name, std::ios::binary) << std::string(size, '\x5A');
  }
  void TearDown() override {
    EXPECT_EQ(other_->Requests(), 0) << "the other device was opened";
    EXPECT_TRUE(unrelated_.Requests().empty());
    fs::remove_all(images_);
  }

  int Run(std::vector<std::string> args, const std::string& answers = "") {
    args.insert(args.begin(), {"vesk-update", "--board=usb", "-C", images_.string()});
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    in_.str(answers);
    in_.clear();
    out_.str("");
    err_.str("");
    console::ConsoleEnvironment environment{
        in_, out_, err_, false,
        [](std::string_view) -> std::unique_ptr<CameraDriver> {
          return std::make_unique<PatientUsbDriver>();
        },
        "usb"};
    return console::RunConsole(static_cast<int>(argv.size()), argv.data(), environment);
  }

  testing::MockUsbBus bus_;
  EmulatedBoard bare_, camera_;
  testing::ScriptedPort unrelated_;
  testing::MockBoard* other_ = nullptr;
  fs::path images_;
  std::istringstream in_;
  std::ostringstream out_, err_;
};


TEST_F(LibusbBoards, ListsTheBoardsAndRefusesToChooseForTheOperator) {
  ASSERT_EQ(Run({"list"}), console::kExitSucceeded) << err_.str();
  const std::string list = out_.str();
  for (const char* line : {"usb:1-2  04B4:8613  bare FX2  bus 1 port 2\n",
                           "usb:1-3  125C:0010  camera firmware  bus 1 port 3\n"})
    EXPECT_NE(list.find(line), std::string::npos) << list;
  EXPECT_EQ(list.find("1-4"), std::string::npos) << list;

  EXPECT_EQ(Run({"--yes"}), console::kExitUsage);
  EXPECT_NE(err_.str().find("2 boards are attached"), std::string::npos) << err_.str();
  EXPECT_TRUE(bare_.RequestLog().empty() && camera_.RequestLog().empty());
}

TEST_F(LibusbBoards, DeviceWritesOnlyTheChosenBoardAndAllWritesBoth) {
  ASSERT_EQ(Run({"--yes", "--device", "usb:1-3"}), console::kExitSucceeded) << out_.str() << err_.str();
  EXPECT_TRUE(bare_.RequestLog().empty()) << "a board that was not chosen was written";
  const std::vector<std::uint8_t> eeprom = camera_.SaveEepromImage();
  EXPECT_EQ(eeprom[32768 + 2999], 0x5A) << "BufCon's last byte";

  // One Yes for each question: each is asked once for both boards, the power-cycle
  // question only when both have come to it.
  ASSERT_EQ(Run({"--all"}, "y\ny\n"), console::kExitSucceeded) << out_.str() << err_.str();
  const std::string asked = err_.str();
  EXPECT_EQ(asked.find("Is the camera ready?"), asked.rfind("Is the camera ready?")) << asked;
  for (const char* line : {"usb:1-2: Camera firmware update SUCCESSFUL.",
                           "usb:1-3: Camera firmware update SUCCESSFUL."})
    EXPECT_NE(out_.str().find(line), std::string::npos) << out_.str();
  EXPECT_EQ(bare_.SaveEepromImage()[32768 + 2999], 0x5A);
}

}  // namespace
}  // namespace vesk
