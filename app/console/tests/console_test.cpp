// vesk-update run in-process on emulated boards: options, exit statuses, the streams, the
// output files, the board choice, the refusal of several boards and the JSON report.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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
#include "tests/test_support.h"

namespace vesk::console {
namespace {

namespace fs = std::filesystem;

const std::string kSamples = std::string(VESK_SOURCE_DIR) + "/samples";
constexpr std::size_t kBank = 32768, kEepromBytes = 12 * kBank;

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}
bool Has(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

// The standard output. Once it holds `stopAt` it requests a stop, as a signal handler would.
struct StoppingBuffer : std::stringbuf {
  std::string stopAt;
  int sync() override {
    if (!stopAt.empty() && Has(str(), stopAt)) RequestStop();
    return 0;
  }
};

using Fault = std::function<void(std::size_t board, sim::board::EmulatedBoard&)>;

class ConsoleTest : public ::testing::Test {
 protected:
  // The sample boot image and small images of our own: a run that writes a few beats.
  void MakeSmallImages() {
    fs::copy_file(kSamples + "/tarsel_usb.iic", scratch / "tarsel_usb.iic");
    for (const auto& [name, size] : {std::pair{"bufcon.bin", 5000},
                                     {"camcon.bin", 9000},
                                     {"gpif_bufcon.bin", 128},
                                     {"gpif_camcon.bin", 128},
                                     {"gpif_fifo.bin", 100}}) {
      std::string bytes(size, '\0');
      for (int i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + size);
      std::ofstream(scratch / name, std::ios::binary) << bytes;
    }
  }

  // `fault` goes into each emulated board before the run; whether each board was reached,
  // and its EEPROM after the run, are kept in `touched` and `eeproms`.
  int Run(std::vector<std::string> args, const std::string& input = "", Fault fault = {},
          bool terminal = false) {
    args.insert(args.begin(), "vesk-update");
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    in.str(input);
    in.clear();
    outBuffer.str("");
    err.str("");
    touched.clear();
    eeproms.clear();
    std::size_t prepared = 0;
    ConsoleEnvironment environment{in, out, err, terminal, MakeRealDriver, DefaultBoard()};
    environment.prepareEmulatedBoard = [&](sim::board::EmulatedBoard& board) {
      if (fault) fault(prepared++, board);
    };
    environment.inspectEmulatedBoard = [this](const sim::board::EmulatedBoard& board) {
      touched.push_back(!board.RequestLog().empty());
      const std::vector<std::uint8_t> image = board.SaveEepromImage();
      eeproms.emplace_back(image.begin(), image.end());
    };
    const int status = RunConsole(static_cast<int>(argv.size()), argv.data(), environment);
    ClearStopRequest();
    return status;
  }
  std::string Out() const { return outBuffer.str(); }
  std::string Path(const std::string& name) const { return (scratch / name).string(); }

  vesk::testing::ScratchDirectory dir;  // the working directory too
  const fs::path scratch = dir.path();
  std::istringstream in;
  StoppingBuffer outBuffer;
  std::ostream out{&outBuffer};
  std::ostringstream err;
  std::vector<bool> touched;
  std::vector<std::string> eeproms;
};

TEST_F(ConsoleTest, HelpVersionAndUsageErrors) {
  EXPECT_EQ(Run({"--help"}), kExitSucceeded);
  for (const char* option : {"--device", "--all", "--report", "65 bad input"})
    EXPECT_TRUE(Has(Out(), option)) << option;
  EXPECT_EQ(Run({"--version"}), kExitSucceeded);
  EXPECT_EQ(Out(), "vesk-update 1.0.0.1\n");

  // Each refused before a board is touched, naming what was wrong.
  std::ofstream(Path("short.bin"), std::ios::binary) << std::string(1000, '\xFF');
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--frobnicate"}, "frobnicate"},
      {{"--board=floppy"}, "floppy"},
      {{"--board=usb", "--eeprom-out", "x.bin"}, "--board=emulated"},
      {{"--board=driver"}, "only on Windows"},
      {{"-C", "/nonexistent/vesk"}, "/nonexistent/vesk"},
      {{"--emulated-boards", "0"}, "--emulated-boards"},
      {{"--board=usb", "--emulated-boards", "2"}, "--board=emulated"},
      {{"--emulated-boards", "2", "--eeprom-out", "x.bin"}, "--device"},
      {{"--emulated-boards", "2", "--all", "--eeprom-in", "x.bin", "--device", "1"}, "--all"},
      {{"--emulated-boards", "2", "--all", "--eeprom-out", "x.bin"}, "--all"},
      {{"--wait=soon", "list"}, "soon"},
      {{"--board=emulated", "--eeprom-in", Path("short.bin")}, "393216"},
      {{"--yes", "--log", "/nonexistent/run.log"}, "/nonexistent does not exist"},
      {{"--yes", "--log", "/tmp"}, "/tmp: is a directory"},
      {{"--board=emulated", "--yes", "--eeprom-out", "/dev/null"}, "not a regular file"},
      {{"read", "/nonexistent/vesk/x.bin"}, "/nonexistent/vesk/x.bin"},
      {{"verify"}, "verify needs -C DIR"},
      {{"info", "--log", "x.log"}, "--log belongs to a run"},
      {{"read", "x.bin", "--backup", "y.bin"}, "--backup belongs to a run"},
      {{"--board=emulated", "read", "x.bin", "--report", "r.json"}, "record a run"},
  };
  for (const auto& [args, mention] : cases) {
    EXPECT_EQ(Run(args), kExitUsage) << args[0];
    EXPECT_TRUE(Has(err.str(), mention)) << err.str();
    EXPECT_EQ(Out(), "") << args[0];
  }
}

TEST_F(ConsoleTest, NoCameraOnTheDefaultBoardFailsWithTheLogInItsOwnBytes) {
  EXPECT_EQ(Run({"--yes", "-C", kSamples, "--log", Path("run.log")}), kExitFailed);
  std::string log =
      "USB Board Initialization Started\r\nOpening camera connection\r\n"
      "Error 0x1 (Failed to connect to camera)\r\nCamera firmware update FAILED.";
  EXPECT_EQ(ReadFile(Path("run.log")), log);
  std::erase(log, '\r');
  EXPECT_EQ(Out(), log + "\n");
  EXPECT_TRUE(Has(err.str(), "\nvesk-update: cannot open the camera")) << err.str();
}

// No, end of input or anything but yes cancels; --eeprom-in and --eeprom-out carry the
// board's EEPROM byte for byte.
TEST_F(ConsoleTest, AnythingButYesAtTheFirstQuestionCancels) {
  std::string image(kEepromBytes, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 131 + i / kBank);
  std::ofstream(Path("in.bin"), std::ios::binary) << image;
  for (const std::string input : {"n\n", "", "maybe\n"}) {
    EXPECT_EQ(Run({"--board=emulated", "-C", kSamples, "--log", Path("cancel.log"), "--eeprom-in",
                   Path("in.bin"), "--eeprom-out", Path("out.bin")},
                  input),
              kExitCancelled);
    EXPECT_EQ(ReadFile(Path("cancel.log")),
              "USB Board Initialization Started\r\nInitialization cancelled by user\r\n");
    EXPECT_TRUE(Has(err.str(), "Proceed with raw USB device initialization? [y/N]"));
    EXPECT_EQ(ReadFile(Path("out.bin")), image);
  }
}

TEST_F(ConsoleTest, AnUnfitImageFileExits65BeforeTheBoardIsOpened) {
  MakeSmallImages();
  fs::remove(scratch / "bufcon.bin");
  EXPECT_EQ(Run({"--board=emulated", "--yes", "-C", scratch.string()}), kExitBadInput);
  EXPECT_EQ(err.str(), "vesk-update: bufcon.bin: missing\n");
  EXPECT_EQ(Out(), "") << "no log, no question: the run never started";
  EXPECT_EQ(touched, std::vector<bool>{false});
}

// verify and --backup against the EEPROM a run wrote, off a terminal: no bar.
TEST_F(ConsoleTest, VerifyAndBackupAgreeWithTheEmulatedEeprom) {
  MakeSmallImages();
  ASSERT_EQ(Run({"--board=emulated", "--yes", "-C", scratch.string(), "--eeprom-out",
                 Path("written.bin")}),
            kExitSucceeded)
      << err.str();
  EXPECT_FALSE(Has(err.str(), "%") || Has(err.str(), "\r")) << err.str();
  std::string flipped = ReadFile(Path("written.bin"));
  EXPECT_EQ(Run({"--board=emulated", "--eeprom-in", Path("written.bin"), "verify", "-C",
                 scratch.string()}),
            kExitSucceeded);
  flipped[6 * kBank + 0x1234] ^= 0x10;  // CamCon lives in chip 1 from bank 0 on
  std::ofstream(Path("flipped.bin"), std::ios::binary) << flipped;
  EXPECT_EQ(Run({"--board=emulated", "--eeprom-in", Path("flipped.bin"), "verify", "-C",
                 scratch.string()}),
            kExitFailed);
  EXPECT_TRUE(Has(Out(),
                  "bufcon.bin: matches\ncamcon.bin: differs at chip 1, bank 0, offset "
                  "0x1234\ntarsel_usb.iic: matches\n"))
      << Out();
  // --backup keeps what the board held before the run wrote anything.
  ASSERT_EQ(Run({"--board=emulated", "--eeprom-in", Path("flipped.bin"), "--yes", "-C",
                 scratch.string(), "--backup", Path("backup.bin")}),
            kExitSucceeded);
  EXPECT_EQ(ReadFile(Path("backup.bin")), flipped);
  // A read that fails part way writes no file.
  EXPECT_EQ(Run({"--board=emulated", "read", Path("read.bin")}, "",
                [](std::size_t, auto& board) { board.SetBankMissing(1, 2, true); }),
            kExitFailed);
  EXPECT_FALSE(fs::exists(Path("read.bin")));
}

TEST(ProgressBar, FitsTheTerminalAndIsGoneWhenDone) {
  for (const int columns : {120, 80, 24, 10}) {
    const std::string line = ProgressBar::Line("gpif_camcon.bin", 4096, 5000, columns);
    EXPECT_LT(line.size(), static_cast<std::size_t>(columns)) << line;
    EXPECT_EQ(line.rfind("gpif", 0), 0u) << line;
  }
  std::ostringstream err;
  ProgressBar bar(err, true, [] { return 40; });
  bar.Show("camcon.bin", 200, 200);
  const std::size_t drawn = err.str().find('\r', 1) - 1;  // "\rLINE\r   ...   \r"
  EXPECT_EQ(err.str().substr(drawn + 1), "\r" + std::string(drawn, ' ') + "\r");
}

TEST_F(ConsoleTest, AnInterruptionFailsTheStepInProgressAndStillWritesTheOutputs) {
  MakeSmallImages();
  outBuffer.stopAt = "Downloading CamCon";
  EXPECT_EQ(Run({"--board=emulated", "--yes", "-C", scratch.string(), "--log", "run.log",
                 "--eeprom-out", "eeprom.bin"}),
            kExitInterrupted);
  EXPECT_TRUE(ReadFile(Path("run.log"))
                  .ends_with("Downloading CamCon...please wait.....\r\nError 0x4 (Failed to "
                             "download CamCon)\r\nCamera firmware update FAILED."));
  EXPECT_TRUE(Has(err.str(), "board must be initialised again")) << err.str();
  const std::string image = ReadFile(Path("eeprom.bin"));
  ASSERT_EQ(image.size(), kEepromBytes);
  EXPECT_EQ(image.substr(4 * kBank, 20), std::string(20, '\xFF')) << "no header";
  EXPECT_EQ(image[6 * kBank], '\xFF') << "no byte of CamCon after the stop";
}

// A successful run on a terminal: the bar shows, and the emulated board, power-cycled,
// answers the second question by blinking its LED. An output it cannot write then exits
// 3; one it can is replaced whole, by a new file, with no temporary file left beside it.
TEST_F(ConsoleTest, OutputsAreReplacedWholeOrTheRunExits3) {
  MakeSmallImages();
  fs::create_directory(scratch / "gone");
  EXPECT_EQ(Run(
                {"--board=emulated", "-C", scratch.string(), "--log", "gone/run.log"}, "y\n",
                [this](std::size_t, auto&) { fs::remove_all(scratch / "gone"); }, true),
            kExitOutputNotWritten);
  EXPECT_TRUE(Has(err.str(), "cannot write the log file gone/run.log"));
  EXPECT_TRUE(Has(err.str(), "(camera ready)"));
  EXPECT_FALSE(Has(err.str(), "Is the camera ready? [y/N]")) << "the board answered";
  EXPECT_TRUE(Has(err.str(), "4096/5000 bytes 81%")) << "the bar";
  EXPECT_TRUE(Has(Out(), "Simulated board time: "));

  std::ofstream(Path("run.log")) << "the previous run";
  fs::create_hard_link(Path("run.log"), Path("previous.log"));
  EXPECT_EQ(Run({"--board=emulated", "-C", scratch.string(), "--log", "run.log"}, "n\n"),
            kExitCancelled);
  EXPECT_EQ(ReadFile(Path("previous.log")), "the previous run") << "written over in place";
  std::size_t logs = 0;
  for (const auto& entry : fs::directory_iterator(scratch))
    logs += Has(entry.path().filename().string(), "run.log");
  EXPECT_EQ(logs, 1u) << "a temporary file left beside the log";
}

// Several boards: list shows them; a run without a choice touches none and exits 64;
// --device PATH or N writes that one; one not there fails as no board does.
TEST_F(ConsoleTest, DeviceWritesTheChosenBoardAndSeveralWithoutAChoiceTouchNone) {
  EXPECT_EQ(Run({"list", "--emulated-boards", "2"}), kExitSucceeded);
  EXPECT_EQ(Out(), "0  emulated:0  04B4:8613  bare FX2\n1  emulated:1  04B4:8613  bare FX2\n");
  MakeSmallImages();
  EXPECT_EQ(Run({"--emulated-boards", "3", "--yes", "-C", scratch.string()}), kExitUsage);
  EXPECT_TRUE(Has(err.str(), "3 boards are attached")) << err.str();
  EXPECT_TRUE(Has(err.str(), "2  emulated:2  04B4:8613")) << err.str();
  EXPECT_EQ(touched, std::vector<bool>(3, false));

  const std::string bufcon = ReadFile(scratch / "bufcon.bin");
  for (const auto& [device, chosen] : {std::pair{"emulated:2", 2}, {"1", 1}, {"0", 0}}) {
    ASSERT_EQ(Run({"--emulated-boards", "3", "--device", device, "--yes", "-C", scratch.string(),
                   "--eeprom-out", Path("chosen.bin")}),
              kExitSucceeded)
        << device << err.str();
    EXPECT_EQ(touched, std::vector<bool>({chosen == 0, chosen == 1, chosen == 2})) << device;
    EXPECT_EQ(ReadFile(Path("chosen.bin")).substr(kBank, bufcon.size()), bufcon) << device;
  }
  for (const char* device : {"emulated:7", "2"}) {
    EXPECT_EQ(Run({"--emulated-boards", "2", "--device", device, "--yes", "-C", scratch.string()}),
              kExitFailed);
    EXPECT_TRUE(Has(Out(), "Error 0x1 (Failed to connect to camera)"));
    EXPECT_EQ(touched, std::vector<bool>(2, false)) << device;
  }
}

// With --all each board runs on its own under one question; the report keeps each board's
// verdict, the files written with their checksums and places, and the header; the history
// gains a line.
TEST_F(ConsoleTest, AllRunsEveryBoardOnItsOwnAndReportsEach) {
  MakeSmallImages();
  std::ofstream(Path("history.jsonl")) << "{}\n";
  ASSERT_EQ(Run({"--emulated-boards", "3", "--all", "-C", scratch.string(), "--report",
                 Path("run.json"), "--report-append", Path("history.jsonl")},
                "y\n",
                [](std::size_t index, auto& board) {
                  if (index == 1) board.SetBankWriteProtected(0, 1, true);  // BufCon's bank
                }),
            kExitFailed)
      << Out() << err.str();
  const std::string question = "Proceed with raw USB device initialization?";
  EXPECT_EQ(err.str().find(question), err.str().rfind(question)) << "asked once: " << err.str();
  EXPECT_TRUE(Has(err.str(), "emulated:1: ERROR:  Failed mid-beat EEPROM write call."))
      << err.str();
  for (const char* line :
       {"emulated:0: Camera firmware update SUCCESSFUL.  Update complete.\n",
        "emulated:1: Error 0x3 (Failed to download BufCon)\n", "emulated:1  failed      "})
    EXPECT_TRUE(Has(Out(), line)) << line << Out();

  const auto report = nlohmann::json::parse(ReadFile(Path("run.json")));
  EXPECT_EQ(report["images_dir"], fs::canonical(scratch).string());
  ASSERT_EQ(report["boards"].size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const auto& board = report["boards"][i];
    EXPECT_EQ(board["path"], "emulated:" + std::to_string(i));
    EXPECT_EQ(board["verdict"], i == 1 ? "failed" : "successful");
    EXPECT_EQ(board["log"].get<std::string>() == vesk::testing::kSuccessfulRunLog, i != 1);
    EXPECT_EQ(board["images"].size(), i == 1 ? 0u : 6u) << "only what was written";
    for (const auto& image : board["images"]) {
      const std::string file = ReadFile(scratch / image["file"].get<std::string>());
      EXPECT_EQ(image["sha256"], Sha256Hex(std::vector<std::uint8_t>(file.begin(), file.end())));
      const std::size_t at =
          (image["chip"].get<std::size_t>() * 6 + image["bank"].get<std::size_t>()) * kBank +
          image["offset"].get<std::size_t>();
      EXPECT_EQ(eeproms.at(i).substr(at, file.size()), file) << image["file"] << " not there";
    }
    char header[41] = {};
    for (std::size_t k = 0; k < 20; ++k)
      std::snprintf(header + 2 * k, 3, "%02x", std::uint8_t(eeproms.at(i)[4 * kBank + k]));
    EXPECT_EQ(board["header"], i == 1 ? nlohmann::json() : nlohmann::json(header));
  }
  std::istringstream history(ReadFile(Path("history.jsonl")));
  std::string first, second;
  ASSERT_TRUE(std::getline(history, first) && std::getline(history, second));
  EXPECT_EQ(first, "{}");
  EXPECT_EQ(nlohmann::json::parse(second)["boards"].size(), 3u);
}

}  // namespace
}  // namespace vesk::console
