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

#include <nlohmann/json.hpp>

#include "app/console/console_app.h"
#include "app/console/progress_bar.h"
#include "app/console/real_driver.h"
#include "device/stop_request.h"
#include "images/sha256.h"
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
          std::function<void(sim::board::EmulatedBoard&)> prepare = {},
          std::function<void(const sim::board::EmulatedBoard&)> inspect = {}) {
    args.insert(args.begin(), "vesk-update");
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    in.str(input);
    in.clear();
    out.str("");
    err.str("");
    ConsoleEnvironment environment{in, out, err, terminal, MakeRealDriver, DefaultBoard(), prepare};
    environment.inspectEmulatedBoard = inspect;
    return RunConsole(static_cast<int>(argv.size()), argv.data(), environment);
  }
  std::string Path(const std::string& name) const { return (scratch / name).string(); }

  fs::path scratch;
  std::istringstream in;
  std::ostringstream out, err;
};

TEST_F(ConsoleTest, HelpAndVersionSucceedWithoutTouchingABoard) {
  EXPECT_EQ(Run({"--help"}), kExitSucceeded);
  for (const char* option :
       {"--board", "-C", "--yes", "--log", "--eeprom-in", "--eeprom-out", "--backup", "read",
        "info", "verify", "restore", "next power cycle", "65 bad input"})
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
      {{"--emulated-boards", "0"}, "--emulated-boards"},
      {{"--board=usb", "--emulated-boards", "2"}, "--board=emulated"},
      {{"--emulated-boards", "2", "--eeprom-out", "x.bin"}, "--device"},
      {{"--emulated-boards", "2", "--all", "--eeprom-in", "x.bin", "--device", "1"}, "--all"},
      {{"--emulated-boards", "2", "--all", "--eeprom-out", "x.bin"}, "--all"},
      {{"--wait=soon", "list"}, "soon"},
      {{"--board=emulated", "--eeprom-in", "/nonexistent/eeprom.bin"}, "/nonexistent/eeprom.bin"},
      {{"--board=emulated", "--eeprom-in", "/dev/zero"}, "/dev/zero"},
      // Outputs that could not be written are refused before the board is touched.
      {{"--yes", "--log", "/nonexistent/run.log"}, "/nonexistent does not exist"},
      {{"--yes", "--log", "/tmp"}, "/tmp: is a directory"},
      {{"--board=emulated", "--yes", "--eeprom-out", "/dev/null"}, "not a regular file"},
      {{"read", "/nonexistent/vesk/x.bin"}, "/nonexistent/vesk/x.bin"},
      {{"verify"}, "verify needs -C DIR"},
      {{"read"}, "FILE"},
      {{"info", "--log", "x.log"}, "--log belongs to a run"},
      {{"read", "x.bin", "--backup", "y.bin"}, "--backup belongs to a run"},
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
  EXPECT_EQ(Run({"--yes", "-C", kSamples, "--log", Path("run.log")}), kExitFailed);
  EXPECT_EQ(ReadFile(Path("run.log")), kNoCameraLog);
  EXPECT_EQ(out.str(),
            "USB Board Initialization Started\nOpening camera connection\n"
            "Error 0x1 (Failed to connect to camera)\nCamera firmware update FAILED.\n");
  EXPECT_EQ(out.str().find("Simulated"), std::string::npos) << "only the emulated board has one";
  EXPECT_NE(err.str().find("\nvesk-update: cannot open the camera"), std::string::npos)
      << err.str();
}

TEST_F(ConsoleTest, NoOrEndOfInputAtTheFirstQuestionCancels) {
  for (const std::string input : {"n\n", "", "maybe\n"}) {
    EXPECT_EQ(Run({"--board=emulated", "-C", kSamples, "--log", Path("cancel.log")}, input),
              kExitCancelled);
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
  EXPECT_EQ(Run({"--board=emulated", "-C", kSamples, "--eeprom-in", Path("in.bin"), "--eeprom-out",
                 Path("out.bin")},
                "n\n"),
            kExitCancelled);
  EXPECT_EQ(ReadFile(Path("out.bin")), image);

  EXPECT_EQ(Run({"--board=emulated", "-C", kSamples, "--eeprom-out", Path("erased.bin")}, ""),
            kExitCancelled);
  EXPECT_EQ(ReadFile(Path("erased.bin")), std::string(393'216, '\xFF'));
}

TEST_F(ConsoleTest, UnfitImageFilesExit65BeforeTheBoardIsOpened) {
  const std::vector<std::pair<std::function<void(const fs::path&)>, std::string>> cases = {
      {[](const fs::path& d) { fs::remove(d / "bufcon.bin"); }, "bufcon.bin: missing"},
      {[](const fs::path& d) { std::ofstream(d / "camcon.bin") << std::string(300000, 'x'); },
       "camcon.bin: 300000 bytes, CamCon holds at most 196608"},
      {[](const fs::path& d) { std::ofstream(d / "gpif_fifo.bin", std::ios::trunc); },
       "gpif_fifo.bin: empty"},
      {[](const fs::path& d) { std::ofstream(d / "tarsel_usb.iic") << "MZ"; },
       "tarsel_usb.iic: not a boot image (first byte 0x4D, not 0xC0 or 0xC2)"},
  };
  for (const auto& [breakIt, message] : cases) {
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    MakeSmallImages();
    breakIt(scratch);
    EXPECT_EQ(Run({"--board=emulated", "--yes", "-C", scratch.string()}), kExitBadInput);
    EXPECT_EQ(err.str(), "vesk-update: " + message + "\n");
    EXPECT_EQ(out.str(), "") << "no log, no question: the run never started";
  }
}

// read, verify, restore and --backup against the same EEPROM, which --eeprom-out shows.
TEST_F(ConsoleTest, ReadVerifyRestoreAndBackupAgreeWithTheEmulatedEeprom) {
  MakeSmallImages();
  ASSERT_EQ(Run({"--board=emulated", "--yes", "-C", scratch.string(), "--eeprom-out",
                 Path("written.bin")}),
            kExitSucceeded)
      << err.str();
  const std::string written = ReadFile(Path("written.bin"));

  ASSERT_EQ(Run({"--board=emulated", "--eeprom-in", Path("written.bin"), "read", Path("read.bin")}),
            kExitSucceeded)
      << err.str();
  EXPECT_EQ(ReadFile(Path("read.bin")), written);

  EXPECT_EQ(Run({"--board=emulated", "--eeprom-in", Path("written.bin"), "verify", "-C",
                 scratch.string()}),
            kExitSucceeded)
      << out.str();
  std::string flipped = written;
  flipped[(1 * 6 + 0) * 32768 + 0x1234] ^= 0x10;  // CamCon lives in chip 1 from bank 0 on
  std::ofstream(Path("flipped.bin"), std::ios::binary) << flipped;
  EXPECT_EQ(Run({"--board=emulated", "--eeprom-in", Path("flipped.bin"), "verify", "-C",
                 scratch.string()}),
            kExitFailed);
  EXPECT_NE(out.str().find("bufcon.bin: matches\ncamcon.bin: differs at chip 1, bank 0, "
                           "offset 0x1234\ntarsel_usb.iic: matches\n"),
            std::string::npos)
      << out.str();

  // Restore onto a board holding the flipped image, then read it back.
  ASSERT_EQ(Run({"--board=emulated", "--eeprom-in", Path("flipped.bin"), "--eeprom-out",
                 Path("restored.bin"), "restore", Path("written.bin")},
                "y\n"),
            kExitSucceeded)
      << err.str();
  EXPECT_EQ(ReadFile(Path("restored.bin")), written);

  // --backup keeps what the board held before the run wrote anything.
  ASSERT_EQ(Run({"--board=emulated", "--yes", "-C", scratch.string(), "--eeprom-in",
                 Path("flipped.bin"), "--backup", Path("backup.bin")}),
            kExitSucceeded)
      << err.str();
  EXPECT_EQ(ReadFile(Path("backup.bin")), flipped);
}

TEST_F(ConsoleTest, AReadThatFailsPartWayWritesNoFile) {
  EXPECT_EQ(Run({"--board=emulated", "read", Path("read.bin")}, "", false,
                [](sim::board::EmulatedBoard& board) { board.SetBankMissing(1, 2, true); }),
            kExitFailed);
  EXPECT_FALSE(fs::exists(Path("read.bin")));
  EXPECT_NE(err.str().find("vesk-update: cannot read the EEPROM: request 0xC6 read, chip 1, "
                           "bank 2, offset 0x0000, 4096 bytes: stall\n"),
            std::string::npos)
      << err.str();
}

TEST(ProgressBar, FitsTheTerminalAndIsGoneWhenDone) {
  for (const int columns : {120, 80, 40, 24, 10}) {
    const std::string line = ProgressBar::Line("gpif_camcon.bin", 4096, 5000, columns);
    EXPECT_LT(line.size(), static_cast<std::size_t>(columns)) << columns << ": " << line;
    EXPECT_EQ(line.rfind("gpif", 0), 0u) << line;
  }
  EXPECT_NE(ProgressBar::Line("bufcon.bin", 4096, 5000, 80).find("4096/5000 bytes 81%"),
            std::string::npos);

  std::ostringstream err;
  ProgressBar bar(err, true, [] { return 40; });
  bar.Show("camcon.bin", 200, 200);
  const std::string text = err.str();
  const std::size_t drawn = text.find('\r', 1) - 1;  // "\rLINE\r   ...   \r"
  EXPECT_EQ(text.substr(drawn + 1), "\r" + std::string(drawn, ' ') + "\r")
      << "a finished bar is cleared";
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
  EXPECT_NE(err.str().find("vesk-update: bufcon.bin: request 0xC6 write, chip 0, bank 1, offset "
                           "0x0000, 4096 bytes: stall\n"),
            std::string::npos)
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
  const std::vector<const char*> argv = {"vesk-update", "--board=emulated", "--yes",
                                         "-C",          scratch.c_str(),    "--log",
                                         "run.log",     "--eeprom-out",     "eeprom.bin"};
  ConsoleEnvironment environment{in, stoppingOut, err, false, MakeRealDriver, DefaultBoard()};
  environment.interruptionStatus = [] { return 143; };
  const int status = RunConsole(static_cast<int>(argv.size()), argv.data(), environment);
  ClearStopRequest();
  EXPECT_EQ(status, 143);
  EXPECT_TRUE(
      ReadFile(Path("run.log"))
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

// Several emulated boards, seen in order, emulated:0 first: faults go in before the run,
// what reached each board is looked at after it.
class BoardsTest : public ConsoleTest {
 protected:
  std::vector<bool> touched;
  int RunBoards(std::vector<std::string> args, const std::string& input = "",
                std::function<void(std::size_t, sim::board::EmulatedBoard&)> fault = {}) {
    touched.clear();
    std::size_t prepared = 0;
    return Run(
        std::move(args), input, false,
        [&prepared, fault](sim::board::EmulatedBoard& board) {
          if (fault) fault(prepared, board);
          ++prepared;
        },
        [this](const sim::board::EmulatedBoard& board) {
          touched.push_back(!board.RequestLog().empty());
        });
  }
  bool Touched(std::size_t board) const { return touched.at(board); }
};

TEST_F(BoardsTest, ListShowsEveryBoardAndSeveralWithoutAChoiceTouchNone) {
  EXPECT_EQ(Run({"list", "--emulated-boards", "2"}), kExitSucceeded);
  EXPECT_EQ(out.str(), "0  emulated:0  04B4:8613  bare FX2\n1  emulated:1  04B4:8613  bare FX2\n");

  MakeSmallImages();
  EXPECT_EQ(RunBoards({"--emulated-boards", "3", "--yes", "-C", scratch.string()}), kExitUsage);
  EXPECT_NE(err.str().find("3 boards are attached"), std::string::npos) << err.str();
  EXPECT_NE(err.str().find("2  emulated:2  04B4:8613"), std::string::npos) << err.str();
  EXPECT_EQ(out.str(), "");
  ASSERT_EQ(touched.size(), 3u);
  for (std::size_t i = 0; i < touched.size(); ++i) EXPECT_FALSE(Touched(i)) << i;
}

TEST_F(BoardsTest, DeviceWritesTheChosenBoardAndNoOther) {
  MakeSmallImages();
  const std::pair<std::string, std::size_t> choices[] = {{"emulated:2", 2}, {"1", 1}, {"0", 0}};
  for (const auto& [device, chosen] : choices) {
    ASSERT_EQ(RunBoards({"--emulated-boards", "3", "--device", device, "--yes", "-C",
                         scratch.string(), "--eeprom-out", Path("chosen.bin")}),
              kExitSucceeded)
        << device << err.str();
    ASSERT_EQ(touched.size(), 3u);
    for (std::size_t i = 0; i < touched.size(); ++i) EXPECT_EQ(Touched(i), i == chosen) << device;
    EXPECT_EQ(ReadFile(Path("chosen.bin")).substr(32768, 5000), ReadFile(scratch / "bufcon.bin"))
        << "--eeprom-out saves the chosen board";
  }
  // A board that is not there fails the run as no board does, touching none.
  EXPECT_EQ(RunBoards({"--emulated-boards", "2", "--device", "emulated:7", "--yes", "-C",
                       scratch.string()}),
            kExitFailed);
  EXPECT_NE(out.str().find("Error 0x1 (Failed to connect to camera)"), std::string::npos);
  EXPECT_FALSE(Touched(0) || Touched(1));
}

TEST_F(BoardsTest, AllRunsEveryBoardOnItsOwnAndAsksOnce) {
  MakeSmallImages();
  // Board 1 loses its BufCon EEPROM: it fails alone, the others are written in full.
  ASSERT_EQ(RunBoards({"--emulated-boards", "3", "--all", "-C", scratch.string(), "--report",
                       Path("run.json")},
                      "y\n",
                      [](std::size_t index, sim::board::EmulatedBoard& board) {
                        if (index == 1) board.SetBankMissing(0, 1, true);
                      }),
            kExitFailed)
      << out.str() << err.str();
  const std::string text = err.str();
  EXPECT_EQ(text.find("Proceed with raw USB device initialization?"),
            text.rfind("Proceed with raw USB device initialization?"))
      << "asked once for all boards: " << text;
  EXPECT_NE(text.find("emulated:1: ERROR:  Failed mid-beat EEPROM write call."), std::string::npos)
      << "the debugger line names its board: " << text;
  for (const char* line : {"emulated:0: Camera firmware update SUCCESSFUL.  Update complete.\n",
                           "emulated:1: Error 0x3 (Failed to download BufCon)\n",
                           "emulated:2: Camera firmware update SUCCESSFUL.  Update complete.\n"})
    EXPECT_NE(out.str().find(line), std::string::npos) << line << out.str();
  EXPECT_NE(out.str().find("emulated:1  failed      "), std::string::npos) << out.str();

  const auto report = nlohmann::json::parse(ReadFile(Path("run.json")));
  ASSERT_EQ(report["boards"].size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const auto& board = report["boards"][i];
    EXPECT_EQ(board["path"], "emulated:" + std::to_string(i));
    EXPECT_EQ(board["verdict"], i == 1 ? "failed" : "successful");
    EXPECT_EQ(board["images"].size(), i == 1 ? 0u : 6u) << "only what was written";
    EXPECT_EQ(board["header"].is_null(), i == 1);
    EXPECT_GT(board["board_seconds"].get<double>(), 0.0);
    if (i != 1) {
      EXPECT_EQ(board["log"], kSuccessfulLog);
    }
  }
}

TEST_F(BoardsTest, ReportHoldsEachFileChecksumAndTheHeaderThatWasWritten) {
  MakeSmallImages();
  for (int run = 0; run < 2; ++run)
    ASSERT_EQ(RunBoards({"--board=emulated", "--yes", "-C", scratch.string(), "--report",
                         "run.json", "--report-append", "history.jsonl", "--eeprom-out",
                         "eeprom.bin"}),
              kExitSucceeded);
  const auto report = nlohmann::json::parse(ReadFile(Path("run.json")));
  EXPECT_EQ(report["tool"], "vesk-update");
  EXPECT_EQ(report["version"], "1.0.0.1");
  EXPECT_EQ(report["images_dir"], fs::canonical(scratch).string());
  const auto& board = report["boards"][0];
  EXPECT_EQ(board["identity"], "04B4:8613");
  EXPECT_TRUE(board["error"].is_null());
  const std::string eeprom = ReadFile(Path("eeprom.bin"));
  for (const auto& image : board["images"]) {
    const std::string file = ReadFile(scratch / image["file"].get<std::string>());
    const std::vector<std::uint8_t> bytes(file.begin(), file.end());
    EXPECT_EQ(image["sha256"], Sha256Hex(bytes)) << image["file"];
    EXPECT_EQ(image["bytes"], file.size());
    const std::size_t at = (image["chip"].get<std::size_t>() * 6 + image["bank"].get<std::size_t>()) *
                               32768 + image["offset"].get<std::size_t>();
    EXPECT_EQ(eeprom.substr(at, file.size()), file) << "written where the report says";
  }
  std::string header;
  for (unsigned char c : eeprom.substr(4 * 32768, 20)) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", c);
    header += hex;
  }
  EXPECT_EQ(board["header"], header);

  std::istringstream history(ReadFile(Path("history.jsonl")));
  int lines = 0;
  for (std::string line; std::getline(history, line); ++lines)
    EXPECT_EQ(nlohmann::json::parse(line)["boards"][0]["log"], kSuccessfulLog);
  EXPECT_EQ(lines, 2);
}

}  // namespace
}  // namespace vesk::console
