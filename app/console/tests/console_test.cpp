// vesk-update run in-process: options, exit statuses, what goes to which stream, the log
// file and the EEPROM image file.
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
#include "device/stop_request.h"
#include "sim/board/emulated_board.h"
#include "tests/expected_logs.h"

namespace vesk::console {
namespace {

namespace fs = std::filesystem;

const std::string kSamples = std::string(VESK_SOURCE_DIR) + "/samples";

constexpr std::string_view kNoCameraLog =
    "USB Board Initialization Started\r\n"
    "Opening camera connection\r\n"
    "Error 0x1 (Failed to connect to camera)\r\n"
    "Camera firmware update FAILED.";

constexpr std::string_view kSuccessfulLog = vesk::testing::kSuccessfulRunLog;

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Unique per process: other checkouts may run these tests at the same time.
    scratch = fs::temp_directory_path() /
              ("vesk-console-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
               std::to_string(std::random_device{}()));
    fs::remove_all(scratch);
    fs::create_directories(scratch);
  }
  // The sample boot image and small images of our own: a run that writes a few beats.
  void MakeSmallImages() {
    fs::copy_file(kSamples + "/tarsel_usb.iic", scratch / "tarsel_usb.iic");
    const std::pair<const char*, std::size_t> files[] = {{"bufcon.bin", 5000},
                                                         {"camcon.bin", 9000},
                                                         {"gpif_bufcon.bin", 128},
                                                         {"gpif_camcon.bin", 128},
                                                         {"gpif_fifo.bin", 100}};
    for (const auto& [name, size] : files) {
      std::string bytes(size, '\0');
      for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + size);
      std::ofstream(scratch / name, std::ios::binary) << bytes;
    }
  }
  void TearDown() override { fs::remove_all(scratch); }

  int Run(std::vector<std::string> args, const std::string& input = "", bool terminal = false,
          std::function<void(sim::board::EmulatedBoard&)> prepare = {}) {
    args.insert(args.begin(), "vesk-update");
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    in.str(input);
    in.clear();
    out.str("");
    err.str("");
    ConsoleEnvironment environment{in, out, err, terminal, MakeRealDriver, DefaultBoard(), prepare};
    return RunConsole(static_cast<int>(argv.size()), argv.data(), environment);
  }
  std::string Path(const std::string& name) const { return (scratch / name).string(); }

  fs::path scratch;
  std::istringstream in;
  std::ostringstream out, err;
};

TEST_F(ConsoleTest, HelpAndVersionSucceedWithoutTouchingABoard) {
  EXPECT_EQ(Run({"--help"}), kExitSucceeded);
  for (const char* option : {"--board", "-C", "--yes", "--log", "--eeprom-in", "--eeprom-out"})
    EXPECT_NE(out.str().find(option), std::string::npos) << option;
  EXPECT_EQ(Run({"--version"}), kExitSucceeded);
  EXPECT_EQ(out.str(), "vesk-update 1.0.0.1\n");
}

TEST_F(ConsoleTest, UsageErrorsExit64AndSayWhatWasWrong) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--frobnicate"}, "frobnicate"},
      {{"--board=floppy"}, "floppy"},
      {{"stray"}, "stray"},
      {{"--log"}, "--log"},
      {{"--board=usb", "--eeprom-out", "x.bin"}, "--board=emulated"},
      {{"--eeprom-in", "x.bin"}, "--board=emulated"},
      {{"--board=driver"}, "only on Windows"},
      {{"-C", "/nonexistent/vesk"}, "/nonexistent/vesk"},
      {{"--board=emulated", "--eeprom-in", "/nonexistent/eeprom.bin"}, "/nonexistent/eeprom.bin"},
      {{"--board=emulated", "--eeprom-in", "/dev/zero"}, "/dev/zero"},
      // Outputs that could not be written are refused before the board is touched.
      {{"--yes", "--log", "/nonexistent/run.log"}, "/nonexistent does not exist"},
      {{"--yes", "--log", "/tmp"}, "/tmp: is a directory"},
      {{"--board=emulated", "--yes", "--eeprom-out", "/dev/null"}, "not a regular file"},
  };
  for (const auto& [args, mention] : cases) {
    EXPECT_EQ(Run(args), kExitUsage) << args[0];
    EXPECT_NE(err.str().find(mention), std::string::npos) << err.str();
    EXPECT_EQ(out.str(), "") << args[0];
  }
  std::ofstream(Path("short.bin"), std::ios::binary) << std::string(1000, '\xFF');
  EXPECT_EQ(Run({"--board=emulated", "--eeprom-in", Path("short.bin")}), kExitUsage);
  EXPECT_NE(err.str().find("393216"), std::string::npos) << err.str();
}

TEST_F(ConsoleTest, DefaultUsbBoardFindsNoCameraAndLogsExactBytes) {
  EXPECT_EQ(Run({"--yes", "--log", Path("run.log")}), kExitFailed);
  EXPECT_EQ(ReadFile(Path("run.log")), kNoCameraLog);
  EXPECT_EQ(out.str(),
            "USB Board Initialization Started\nOpening camera connection\n"
            "Error 0x1 (Failed to connect to camera)\nCamera firmware update FAILED.\n");
  EXPECT_EQ(out.str().find("Simulated"), std::string::npos) << "only the emulated board has one";
}

TEST_F(ConsoleTest, NoOrEndOfInputAtTheFirstQuestionCancels) {
  for (const std::string input : {"n\n", "", "maybe\n"}) {
    EXPECT_EQ(Run({"--board=emulated", "--log", Path("cancel.log")}, input), kExitCancelled);
    EXPECT_EQ(ReadFile(Path("cancel.log")),
              "USB Board Initialization Started\r\nInitialization cancelled by user\r\n");
    EXPECT_NE(err.str().find("Proceed with raw USB device initialization? [y/N]"),
              std::string::npos);
    EXPECT_NE(err.str().find("Vesk USB Update - Confirmation"), std::string::npos);
  }
}

TEST_F(ConsoleTest, EepromImageFileRoundTripsByteForByte) {
  std::string image(393'216, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 131 + i / 32768);
  std::ofstream(Path("in.bin"), std::ios::binary) << image;
  EXPECT_EQ(
      Run({"--board=emulated", "--eeprom-in", Path("in.bin"), "--eeprom-out", Path("out.bin")},
          "n\n"),
      kExitCancelled);
  EXPECT_EQ(ReadFile(Path("out.bin")), image);

  EXPECT_EQ(Run({"--board=emulated", "--eeprom-out", Path("erased.bin")}, ""), kExitCancelled);
  EXPECT_EQ(ReadFile(Path("erased.bin")), std::string(393'216, '\xFF'));
}

TEST_F(ConsoleTest, MissingImagesFailAtBufConAfterTheFirmwareLoads) {
  EXPECT_EQ(Run({"--board=emulated", "--yes", "-C", scratch.string(), "--log", "run.log"}),
            kExitFailed);
  const std::string log = ReadFile(Path("run.log"));
  EXPECT_NE(log.find("Downloading USB control firmware\r\nDownloading BufCon...please wait.....\r\n"
                     "Error 0x3 (Failed to download BufCon)\r\nCamera firmware update FAILED."),
            std::string::npos)
      << log;
  EXPECT_NE(out.str().find("Simulated board time: "), std::string::npos);
}

TEST_F(ConsoleTest, MissingEepromFailsItsImageAndTellsTheDebugger) {
  // BufCon lives in chip 0 bank 1.
  EXPECT_EQ(Run({"--board=emulated", "--yes", "-C", kSamples, "--log", Path("run.log")}, "", false,
                [](sim::board::EmulatedBoard& board) { board.SetBankMissing(0, 1, true); }),
            kExitFailed);
  const std::string log = ReadFile(Path("run.log"));
  EXPECT_NE(log.find("Error 0x3 (Failed to download BufCon)\r\nCamera firmware update FAILED."),
            std::string::npos)
      << log;
  EXPECT_NE(err.str().find("ERROR:  Failed mid-beat EEPROM write call.\n"), std::string::npos)
      << err.str();

  EXPECT_EQ(Run({"--board=emulated", "--yes", "-C", kSamples}, "", false,
                [](sim::board::EmulatedBoard& board) { board.UnplugAfter(3); }),
            kExitFailed);
  EXPECT_NE(out.str().find("Error 0x2 (Failed download control firmware)"), std::string::npos);
}

// Requests a stop once the standard output holds `line`, as a signal handler would.
class StopWhenShown : public std::stringbuf {
 public:
  explicit StopWhenShown(std::string line) : line_(std::move(line)) {}
  int sync() override {
    if (str().find(line_) != std::string::npos) RequestStop();
    return 0;
  }

 private:
  std::string line_;
};

TEST_F(ConsoleTest, AnInterruptionFailsTheStepInProgressAndStillWritesTheOutputs) {
  MakeSmallImages();
  std::ofstream(Path("eeprom.bin"), std::ios::binary) << "the previous board";
  StopWhenShown stopper("Downloading CamCon");
  std::ostream stoppingOut(&stopper);
  const std::vector<const char*> argv = {"vesk-update", "--board=emulated", "--yes", "-C",
                                         scratch.c_str(), "--log", "run.log", "--eeprom-out",
                                         "eeprom.bin"};
  ConsoleEnvironment environment{in, stoppingOut, err, false, MakeRealDriver, DefaultBoard()};
  environment.interruptionStatus = [] { return 143; };
  const int status = RunConsole(static_cast<int>(argv.size()), argv.data(), environment);
  ClearStopRequest();
  EXPECT_EQ(status, 143);
  EXPECT_TRUE(ReadFile(Path("run.log"))
                  .ends_with("Downloading CamCon...please wait.....\r\n"
                             "Error 0x4 (Failed to download CamCon)\r\nCamera firmware update FAILED."));
  EXPECT_NE(err.str().find("board must be initialised again"), std::string::npos) << err.str();
  const std::string image = ReadFile(Path("eeprom.bin"));
  ASSERT_EQ(image.size(), 393'216u);
  EXPECT_EQ(image.substr(4 * 32768, 20), std::string(20, '\xFF')) << "no header";
  EXPECT_EQ(image[6 * 32768], '\xFF') << "no byte of CamCon after the stop";
}

TEST_F(ConsoleTest, AnOutputThatCannotBeWrittenAfterASuccessfulRunExits3) {
  MakeSmallImages();
  fs::create_directory(scratch / "gone");
  EXPECT_EQ(Run({"--board=emulated", "--yes", "-C", scratch.string(), "--log", "gone/run.log"}, "",
                false, [this](sim::board::EmulatedBoard&) { fs::remove_all(scratch / "gone"); }),
            kExitOutputNotWritten);
  EXPECT_NE(err.str().find("cannot write the log file gone/run.log"), std::string::npos);
  // Replaced whole: the new content and no temporary file beside it.
  EXPECT_EQ(Run({"--board=emulated", "-C", scratch.string(), "--log", "run.log"}, "n\n"),
            kExitCancelled);
  EXPECT_EQ(Run({"--board=emulated", "-C", scratch.string(), "--log", "run.log"}, "n\n"),
            kExitCancelled);
  std::size_t logs = 0;
  for (const auto& entry : fs::directory_iterator(scratch))
    logs += entry.path().filename().string().find("run.log") != std::string::npos;
  EXPECT_EQ(logs, 1u);
}

TEST_F(ConsoleTest, FullEmulatedRunWritesEveryImageAndTheBoardAnswersThePowerCycle) {
  MakeSmallImages();
  const std::string eeprom = Path("eeprom.bin");
  const std::string log = Path("run.log");
  // Yes to the first question only: the emulated board, power-cycled, answers the second
  // by blinking its LED.
  ASSERT_EQ(Run({"--board=emulated", "-C", scratch.string(), "--log", log, "--eeprom-out", eeprom},
                "y\n", true),
            kExitSucceeded)
      << out.str() << err.str();
  const std::string text = ReadFile(log);
  EXPECT_EQ(text, kSuccessfulLog);
  EXPECT_EQ(text.size(), 433u);
  EXPECT_NE(err.str().find("booted the C2 image"), std::string::npos) << err.str();
  EXPECT_NE(err.str().find("(camera ready)"), std::string::npos);
  EXPECT_EQ(err.str().find("Is the camera ready? [y/N]"), std::string::npos)
      << "the board answered, nobody was asked";
  EXPECT_NE(err.str().find("bufcon.bin ["), std::string::npos) << "progress bar on a terminal";
  EXPECT_NE(err.str().find("4096/5000 bytes 81%"), std::string::npos);
  EXPECT_NE(out.str().find("Simulated board time: "), std::string::npos);

  const std::string image = ReadFile(eeprom);
  ASSERT_EQ(image.size(), 393'216u);
  auto at = [](int chip, int bank, int offset) { return (chip * 6 + bank) * 32768 + offset; };
  const std::pair<const char*, int> places[] = {
      {"tarsel_usb.iic", at(0, 0, 0)}, {"bufcon.bin", at(0, 1, 0)}, {"camcon.bin", at(1, 0, 0)}};
  for (const auto& [name, offset] : places) {
    const std::string file = ReadFile(scratch / name);
    EXPECT_EQ(image.substr(offset, file.size()), file) << name;
    EXPECT_EQ(image[offset + file.size()], '\xFF') << name << ": nothing written past its end";
  }
  EXPECT_NE(image.substr(at(0, 4, 0), 20), std::string(20, '\xFF')) << "the ROM header";
}

// What scripts/demo runs. About a minute and a half under AddressSanitizer, where the
// small-image run above covers the same paths.
TEST_F(ConsoleTest, DemoRunOnTheSamplesSucceeds) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "slow under AddressSanitizer";
#endif
  ASSERT_EQ(Run({"--board=emulated", "--yes", "-C", kSamples, "--log", Path("run.log")}),
            kExitSucceeded)
      << out.str() << err.str();
  EXPECT_EQ(ReadFile(Path("run.log")), kSuccessfulLog);
}

TEST_F(ConsoleTest, NoProgressBarWhenStandardErrorIsNotATerminal) {
  MakeSmallImages();
  ASSERT_EQ(Run({"--board=emulated", "--yes", "-C", scratch.string()}, "", false), kExitSucceeded)
      << out.str() << err.str();
  EXPECT_EQ(err.str().find('%'), std::string::npos) << err.str();
  EXPECT_EQ(err.str().find('\r'), std::string::npos);
}

}  // namespace
}  // namespace vesk::console
