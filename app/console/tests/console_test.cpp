// vesk-update run in-process on emulated boards: options, exit statuses, the streams, the
// output files, the board choice, the refusal of several boards and the JSON report.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <utility>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/console/console_app.h"
#include "app/console/json_output.h"
#include "app/console/output_file.h"
#include "app/console/progress_bar.h"
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

// The standard output. Once it holds `stopAt` it requests a stop, as a signal handler would;
// once it holds `actAt`, `act` runs (once).
struct StoppingBuffer : std::stringbuf {
  std::string stopAt;
  std::string actAt;
  std::function<void()> act;
  int sync() override {
    if (!stopAt.empty() && Has(str(), stopAt)) RequestStop();
    if (act && !actAt.empty() && Has(str(), actAt)) std::exchange(act, {})();
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
    ConsoleEnvironment environment{in, out, err, terminal};
    environment.prepareEmulatedBoard = [&](sim::board::EmulatedBoard& board) {
      if (fault) fault(prepared++, board);
    };
    environment.inspectEmulatedBoard = [this](const sim::board::EmulatedBoard& board) {
      touched.push_back(!board.RequestLog().empty());
      const std::vector<std::uint8_t> image = board.SaveEepromImage();
      eeproms.emplace_back(image.begin(), image.end());
    };
    environment.beforeOutputRename = beforeOutputRename;
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
  std::function<void()> beforeOutputRename;
};

// An EEPROM image, erased but for a boot image header for vendor:product in chip 0 bank 0.
std::string EepromHolding(std::uint16_t vendor, std::uint16_t product) {
  std::string image(kEepromBytes, '\xFF');
  const char header[8] = {'\xC0', char(vendor), char(vendor >> 8), char(product),
                          char(product >> 8), 0, 0, 0};
  image.replace(0, 8, header, 8);
  return image;
}

mode_t ModeOf(const fs::path& path) {
  struct stat status {};
  stat(path.c_str(), &status);
  return status.st_mode & 07777;
}

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
  EXPECT_EQ(Run({"--yes", "-C", kSamples, "--log", Path("run.log")}), kExitNoBoard);
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

// The run's share counts each image once, whole or in part, and the time left follows the
// rate so far.
TEST(RunProgress, SharesAndTimeLeftFollowTheImages) {
  RunProgress run(10000);
  struct Step {
    const char* file;
    std::uint64_t written, total;
    double seconds;
    unsigned percent;
    std::string text;
  };
  const Step steps[] = {
      {"bufcon.bin", 0, 4000, 0, 0, "run 0%"},
      {"bufcon.bin", 2000, 4000, 1, 20, "run 20%, 0:04 left"},
      {"bufcon.bin", 4000, 4000, 2, 40, "run 40%, 0:03 left"},
      {"bufcon.bin", 4000, 4000, 2.5, 40, "run 40%, 0:04 left"},  // reported again: once
      {"camcon.bin", 5000, 6000, 4.5, 90, "run 90%, 0:01 left"},
      {"camcon.bin", 6000, 6000, 5, 100, "run 100%, 0:00 left"},
  };
  for (const Step& step : steps) {
    run.Image(step.file, step.written, step.total, step.seconds);
    EXPECT_EQ(run.Percent(), step.percent) << step.file << " " << step.written;
    EXPECT_EQ(run.Text(), step.text) << step.file << " " << step.written;
  }
  EXPECT_EQ(ProgressBar::Line("camcon.bin", 50, 100, 80, run.Text()).substr(0, 12), "camcon.bin [");
  EXPECT_TRUE(Has(ProgressBar::Line("camcon.bin", 50, 100, 80, run.Text()), "50%  run 100%"));
}

// What a terminal shows of `text`: lines, with ESC[nF (up n lines) and ESC[J (erase below).
std::vector<std::string> Screen(const std::string& text) {
  std::vector<std::string> lines(1);
  std::size_t row = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      if (++row == lines.size()) lines.emplace_back();
    } else if (text.compare(i, 2, "\x1b[") == 0) {
      std::size_t end = text.find_first_of("FJ", i);
      if (text[end] == 'F') row -= std::stoul(text.substr(i + 2, end - i - 2));
      if (text[end] == 'J') lines.resize(row + 1), lines[row].clear();
      i = end;
    } else {
      lines[row] += text[i];
    }
  }
  return lines;
}

// Under --all on a terminal each board has one progress line, redrawn in place below the
// other lines and gone when the summary comes.
TEST_F(ConsoleTest, SeveralBoardsOnATerminalShareOneProgressBlock) {
  MakeSmallImages();
  ASSERT_EQ(Run({"--emulated-boards", "2", "--all", "-C", scratch.string()}, "y\n", {}, true),
            kExitSucceeded) << err.str();
  for (const char* board : {"emulated:0", "emulated:1"})
    EXPECT_TRUE(Has(err.str(), std::string(board) + ": gpif_fifo.bin 100%  run 100%")) << board;
  const std::vector<std::string> screen = Screen(err.str());
  for (const std::string& line : screen) EXPECT_FALSE(Has(line, "  run ")) << line;
  const std::string question = "Proceed with raw USB device initialization? [y/N] ";
  EXPECT_EQ(std::count_if(screen.begin(), screen.end(),
                          [&](const std::string& line) { return line.rfind(question, 0) == 0; }),
            1)
      << err.str();
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
  EXPECT_TRUE(Has(err.str(), "board must be initialized again")) << err.str();
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
              kExitNoBoard);
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
  ASSERT_EQ(Run({"--emulated-boards", "3", "--all", "-v", "-C", scratch.string(), "--report",
                 Path("run.json"), "--report-append", Path("history.jsonl")},
                "y\n",
                [](std::size_t index, auto& board) {
                  if (index == 1) board.SetBankWriteProtected(0, 1, true);  // BufCon's bank
                }),
            kExitFailed)
      << Out() << err.str();
  const std::string question = "Proceed with raw USB device initialization?";
  EXPECT_EQ(err.str().find(question), err.str().rfind(question)) << "asked once: " << err.str();
  for (const char* line : {"emulated:1: ERROR:  Failed mid-beat EEPROM write call.\n",
                           "emulated:2: request 0xC6 write, chip 0, bank 1, offset 0x0000, 4096 "
                           "bytes: ok, "})
    EXPECT_TRUE(Has(err.str(), line)) << line << err.str();
  for (const char* line :
       {"emulated:0: Camera firmware update SUCCESSFUL.  Update complete.\n",
        "emulated:1: Error 0x3 (Failed to download BufCon)\n", "emulated:1  failed      "})
    EXPECT_TRUE(Has(Out(), line)) << line << Out();
  EXPECT_TRUE(Has(err.str(), "emulated:2: gpif_fifo.bin written, run 100%, 0:00 left\n"))
      << err.str();
  // Each board's lines, the files it read among them, carry its prefix and keep their order.
  std::string expected;
  for (char c : vesk::testing::kSuccessfulRunLog) {
    if (c == '\r') continue;
    expected += c;
    if (c != '\n') continue;
    for (const auto& [step, files] : std::initializer_list<std::pair<const char*, const char*>>{
             {"BufCon...please wait.....\n", "bufcon.bin"},
             {"CamCon...please wait.....\n", "camcon.bin"},
             {"FX2...please wait.....\n", "tarsel_usb.iic"},
             {"waveforms...\n", "gpif_bufcon.bin gpif_camcon.bin gpif_fifo.bin"}}) {
      if (!expected.ends_with(step)) continue;
      std::istringstream names(files);
      for (std::string name; names >> name;) expected += "Reading file " + name + ".\n";
    }
  }
  expected += "\n";
  for (const char* board : {"emulated:0: ", "emulated:2: "}) {
    std::istringstream lines(Out());
    std::string own;
    for (std::string line; std::getline(lines, line);)
      if (line.starts_with(board)) own += line.substr(std::strlen(board)) + "\n";
    EXPECT_EQ(own, expected) << board;
  }
  EXPECT_FALSE(Has("\n" + Out(), "\nReading file")) << Out();

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

// The conventions a terminal program of this field keeps: short options, -q and -v, --json only
// where there is something to list, usage errors naming the option, 69 for no board.
TEST_F(ConsoleTest, QuietVerboseShortOptionsAndTheirExitStatuses) {
  MakeSmallImages();
  const std::string here = scratch.string();
  const Fault protectedBufConBank = [](std::size_t, auto& board) { board.SetBankWriteProtected(0, 1, true); };
  struct Row {
    std::vector<std::string> args;
    int exit;
    std::string out;                   // exactly, unless `outHas` is set
    bool outHas;
    std::vector<std::string> errHas;   // each on standard error
    std::vector<std::string> errLacks;
    Fault fault = {};
  };
  const std::string success = "Camera firmware update SUCCESSFUL.  Update complete.\n";
  const Row rows[] = {
      {{"-V"}, kExitSucceeded, "vesk-update 1.0.0.1\n", false, {}, {}},
      {{"--board=emulated", "-q", "-y", "-C", here}, kExitSucceeded, success, false, {}, {"Board:", "power-cycled"}},
      {{"--board=emulated", "-q", "-y", "-C", here}, kExitFailed, "Camera firmware update FAILED.\n", false,
       {"vesk-update: bufcon.bin: request 0xC6 write, chip 0, bank 1"}, {"ERROR:"}, protectedBufConBank},
      // Without -v the debugger lines stay off the terminal: the cause says it.
      {{"--board=emulated", "-y", "-C", here}, kExitFailed, "Error 0x3 (Failed to download BufCon)", true,
       {"vesk-update: bufcon.bin: request 0xC6"}, {"ERROR:", "request 0xA0"}, protectedBufConBank},
      {{"--board=emulated", "-v", "-y", "-C", here}, kExitFailed, "Error 0x3 (Failed to download BufCon)", true,
       {"ERROR:  Failed mid-beat EEPROM write call.\n", "open member 0 (emulated:0): ok",
        "request 0xA0 write, address 0xE600, 1 bytes: ok", ": stall, "}, {}, protectedBufConBank},
      {{"--emulated-boards", "2", "-d", "1", "-y", "-C", here}, kExitSucceeded, success, true, {}, {}},
      // No board: nothing touched, whether for a run, a command or an expired wait.
      {{"-q", "-y", "-C", here}, kExitNoBoard, "Camera firmware update FAILED.\n", false,
       {"cannot open the camera"}, {}},
      {{"read", "x.bin"}, kExitNoBoard, "", false, {"cannot connect to the camera"}, {}},
      {{"list", "--wait=0.2"}, kExitNoBoard, "", false, {"No board attached"}, {}},
      {{"list"}, kExitSucceeded, "", false, {"No board attached"}, {}},
      // Bad values and combinations of the new options.
      {{"--json"}, kExitUsage, "", false, {"--json is for list, info and verify"}, {}},
      {{"--json", "read", "x.bin"}, kExitUsage, "", false, {"--json is for"}, {}},
      {{"--json=maybe", "list"}, kExitUsage, "", false, {"--json"}, {}},
      {{"--verbose=loud"}, kExitUsage, "", false, {"--verbose"}, {}},
      {{"-q", "-v"}, kExitUsage, "", false, {"--quiet"}, {}},
  };
  for (const Row& row : rows) {
    std::string line;
    for (const std::string& arg : row.args) line += arg + " ";
    SCOPED_TRACE(line);
    EXPECT_EQ(Run(row.args, "", row.fault), row.exit) << err.str();
    if (row.outHas)
      EXPECT_TRUE(Has(Out(), row.out)) << Out();
    else
      EXPECT_EQ(Out(), row.out);
    for (const std::string& part : row.errHas) EXPECT_TRUE(Has(err.str(), part)) << part << "\n" << err.str();
    for (const std::string& part : row.errLacks) EXPECT_FALSE(Has(err.str(), part)) << part << "\n" << err.str();
  }
}

// info and verify --json on a board the run wrote: one document each, the run report's names.
TEST_F(ConsoleTest, InfoAndVerifyInJson) {
  MakeSmallImages();
  ASSERT_EQ(Run({"--board=emulated", "-y", "-C", scratch.string(), "--eeprom-out", Path("eeprom.bin")}),
            kExitSucceeded) << err.str();
  const std::vector<std::string> board = {"--board=emulated", "--eeprom-in", Path("eeprom.bin"), "-C",
                                          scratch.string()};
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), board.begin(), board.end());
    return more;
  };
  ASSERT_EQ(Run(with({"info", "--json"})), kExitSucceeded) << err.str();
  const auto info = nlohmann::json::parse(Out());
  EXPECT_TRUE(info["valid"].get<bool>());
  EXPECT_EQ(info["bufcon_size"], 5000);
  ASSERT_EQ(info["regions"].size(), 6u) << info.dump();
  for (const auto& region : info["regions"]) EXPECT_TRUE(region["matches"].get<bool>()) << region;
  const std::string bufcon = ReadFile(Path("bufcon.bin"));
  EXPECT_EQ(info["regions"][0]["sha256"],
            Sha256Hex(std::vector<std::uint8_t>(bufcon.begin(), bufcon.end())));

  ASSERT_EQ(Run(with({"verify", "--json"})), kExitSucceeded) << err.str();
  EXPECT_TRUE(nlohmann::json::parse(Out())["matches"].get<bool>());
  std::ofstream(Path("camcon.bin"), std::ios::binary | std::ios::in) << "changed";
  ASSERT_EQ(Run(with({"verify", "--json"})), kExitFailed) << err.str();
  const auto verify = nlohmann::json::parse(Out());
  EXPECT_FALSE(verify["matches"].get<bool>());
  EXPECT_EQ(verify["images"][1]["file"], "camcon.bin");
  EXPECT_EQ(verify["images"][1]["difference"], nlohmann::json({{"chip", 1}, {"bank", 0}, {"offset", 0}}))
      << verify.dump();
  EXPECT_TRUE(verify["header"]["matches"].get<bool>());
}

// Any bytes a path holds make valid JSON: UTF-8 as it is, every other byte as \xHH.
TEST(JsonText, BytesThatAreNotUtf8AreEscaped) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain/path", "plain/path"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"latin1 caf\xE9", "latin1 caf\\xE9"},
      {"\x80lone", "\\x80lone"},
      {"overlong \xC0\xAF", "overlong \\xC0\\xAF"},
      {"surrogate \xED\xA0\x80", "surrogate \\xED\\xA0\\x80"},
      {"cut \xE2\x82", "cut \\xE2\\x82"},
      {"beyond \xF4\x90\x80\x80", "beyond \\xF4\\x90\\x80\\x80"},
  };
  for (const auto& [raw, safe] : cases) {
    EXPECT_EQ(JsonSafe(raw), safe) << raw;
    const auto parsed = nlohmann::json::parse(JsonText({{raw, raw}}, true));
    EXPECT_EQ(parsed[safe], safe) << raw;
  }
}

// A report from a folder whose name is not UTF-8 is still one valid JSON document.
TEST_F(ConsoleTest, TheReportOfAFolderNamedInAnyBytesIsValidJson) {
  const fs::path folder = scratch / "images-\xFF\xFE";
  fs::create_directory(folder);
  for (const char* name : {"bufcon.bin", "camcon.bin", "tarsel_usb.iic", "gpif_bufcon.bin",
                           "gpif_camcon.bin", "gpif_fifo.bin"})
    fs::copy_file(fs::path(kSamples) / name, folder / name);
  ASSERT_EQ(Run({"--board=emulated", "-y", "-q", "-C", folder.string(), "--report", Path("run.json")}),
            kExitSucceeded) << err.str();
  const auto report = nlohmann::json::parse(ReadFile(Path("run.json")));
  EXPECT_TRUE(Has(report["images_dir"].get<std::string>(), "images-\\xFF\\xFE")) << report["images_dir"];
}

// An output that would overwrite an input, or another output, is refused before any board
// is touched, naming both; every file stays as it was.
TEST_F(ConsoleTest, AnOutputThatIsAnInputOrAnotherOutputIsRefused) {
  MakeSmallImages();
  std::ofstream(Path("in.bin"), std::ios::binary) << std::string(kEepromBytes, '\xFF');
  fs::create_symlink("bufcon.bin", scratch / "link.bin");
  fs::create_hard_link(scratch / "camcon.bin", scratch / "hard.bin");
  fs::create_directory(scratch / "sub");
  const std::string before = ReadFile(Path("bufcon.bin")) + ReadFile(Path("camcon.bin")) +
                             ReadFile(Path("tarsel_usb.iic")) + ReadFile(Path("in.bin"));
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--backup", "bufcon.bin"}, "--backup bufcon.bin is the image file bufcon.bin"},
      {{"--log", "camcon.bin"}, "--log camcon.bin is the image file camcon.bin"},
      {{"--report", "tarsel_usb.iic"}, "is the image file tarsel_usb.iic"},
      {{"--report-append", "gpif_fifo.bin"}, "is the image file gpif_fifo.bin"},
      {{"--log", "link.bin"}, "--log link.bin is the image file bufcon.bin"},
      {{"--report-append", "hard.bin"}, "is the image file camcon.bin"},
      {{"--eeprom-in", "in.bin", "--eeprom-out", "in.bin"}, "is --eeprom-in in.bin"},
      {{"--backup", "x.bin", "--eeprom-out", "x.bin"},
       "--eeprom-out x.bin and --backup x.bin are the same file"},
      {{"--log", "sub/../r.txt", "--report", "r.txt"}, "are the same file"},
      {{"--report", "h.jsonl", "--report-append", "h.jsonl"}, "are the same file"},
      {{"read", "gpif_camcon.bin"}, "read's FILE gpif_camcon.bin is the image file"},
      {{"restore", "in.bin", "--eeprom-out", "in.bin"}, "is restore's FILE in.bin"},
  };
  for (const auto& [args, mention] : cases) {
    std::vector<std::string> all = {"--board=emulated", "--yes", "-C", scratch.string()};
    all.insert(all.end(), args.begin(), args.end());
    EXPECT_EQ(Run(all), kExitUsage) << mention;
    EXPECT_TRUE(Has(err.str(), mention)) << err.str();
    EXPECT_EQ(std::count(touched.begin(), touched.end(), true), 0) << mention;
  }
  EXPECT_EQ(ReadFile(Path("bufcon.bin")) + ReadFile(Path("camcon.bin")) +
                ReadFile(Path("tarsel_usb.iic")) + ReadFile(Path("in.bin")),
            before);
  for (const char* name : {"x.bin", "r.txt", "h.jsonl"}) EXPECT_FALSE(fs::exists(scratch / name));
}

// Each image file replaced, deleted or grown to 1 TB once the board has been opened: the
// run writes, sizes and hashes what it read before its first question.
TEST_F(ConsoleTest, AnImageFileChangedDuringTheRunChangesNothingOfIt) {
  MakeSmallImages();
  struct Place {
    const char* file;
    std::size_t at;  // in the EEPROM image
  };
  const std::vector<Place> places = {{"bufcon.bin", kBank},       {"camcon.bin", 6 * kBank},
                                     {"tarsel_usb.iic", 0},       {"gpif_bufcon.bin", 5 * kBank},
                                     {"gpif_camcon.bin", 5 * kBank + 128},
                                     {"gpif_fifo.bin", 5 * kBank + 256}};
  enum class Change { Replaced, Deleted, Sparse };
  for (const Place& place : places) {
    const fs::path file = scratch / place.file;
    const std::string original = ReadFile(file);
    for (const Change change : {Change::Replaced, Change::Deleted, Change::Sparse}) {
      SCOPED_TRACE(std::string(place.file) + " change " + std::to_string(int(change)));
      outBuffer.actAt = "Opening camera connection";
      outBuffer.act = [&] {
        fs::remove(file);
        if (change == Change::Replaced)
          std::ofstream(file, std::ios::binary) << std::string(original.size() / 2 + 1, 'R');
        if (change == Change::Sparse) {
          std::ofstream(file, std::ios::binary).close();
          fs::resize_file(file, std::uintmax_t{1} << 40);
        }
      };
      ASSERT_EQ(Run({"--board=emulated", "--yes", "-C", scratch.string(), "--report",
                     Path("run.json"), "--eeprom-out", Path("out.bin")}),
                kExitSucceeded)
          << err.str();
      EXPECT_TRUE(Has(Out(), std::string("Reading file ") + place.file + ".\n"));
      const std::string eeprom = ReadFile(Path("out.bin"));
      EXPECT_EQ(eeprom.substr(place.at, original.size()), original);
      const auto report = nlohmann::json::parse(ReadFile(Path("run.json")));
      for (const auto& image : report["boards"][0]["images"]) {
        if (image["file"] != place.file) continue;
        EXPECT_EQ(image["bytes"], original.size());
        EXPECT_EQ(image["sha256"],
                  Sha256Hex(std::vector<std::uint8_t>(original.begin(), original.end())));
      }
      // The header's sizes (bytes 5-8 BufCon, 9-12 CamCon) are of the bytes written.
      const auto size = [&](std::size_t at) {
        return std::size_t(std::uint8_t(eeprom[at])) << 24 |
               std::size_t(std::uint8_t(eeprom[at + 1])) << 16 |
               std::size_t(std::uint8_t(eeprom[at + 2])) << 8 | std::uint8_t(eeprom[at + 3]);
      };
      EXPECT_EQ(size(4 * kBank + 5), 5000u);
      EXPECT_EQ(size(4 * kBank + 9), 9000u);
      fs::remove(file);
      std::ofstream(file, std::ios::binary) << original;
    }
  }
}

// Replacing an output keeps its mode; a read-only one is refused before the board; a long
// name works; the history is appended to in place (its mode and hard links stay); a
// temporary a killed run left is removed, and one the second signal finds is removed too.
TEST_F(ConsoleTest, ReplacedOutputsKeepWhatTheyWere) {
  MakeSmallImages();
  const std::string longName(240, 'n');
  for (const auto& [name, mode] :
       {std::pair{std::string("run.log"), 0640}, {std::string("open.log"), 0666}, {longName, 0600}}) {
    std::ofstream(Path(name)) << "old";
    fs::permissions(Path(name), fs::perms(mode));
    ASSERT_EQ(Run({"--board=emulated", "-C", scratch.string(), "--log", name}, "n\n"),
              kExitCancelled)
        << err.str();
    EXPECT_EQ(ReadFile(Path(name)), "USB Board Initialization Started\r\nInitialization "
                                    "cancelled by user\r\n");
    EXPECT_EQ(ModeOf(Path(name)), mode_t(mode)) << name;
  }
  std::ofstream(Path("locked.log")) << "keep";
  fs::permissions(Path("locked.log"), fs::perms(0444));
  EXPECT_EQ(Run({"--board=emulated", "--yes", "-C", scratch.string(), "--log", "locked.log"}),
            kExitUsage);
  EXPECT_TRUE(Has(err.str(), "locked.log: is read-only")) << err.str();
  EXPECT_EQ(std::count(touched.begin(), touched.end(), true), 0);
  EXPECT_EQ(ReadFile(Path("locked.log")), "keep");

  std::ofstream(Path("history.jsonl")) << "{\"old\": 1}";  // its line feed lost
  fs::permissions(Path("history.jsonl"), fs::perms(0600));
  fs::create_hard_link(Path("history.jsonl"), Path("history-link.jsonl"));
  ASSERT_EQ(Run({"--board=emulated", "-C", scratch.string(), "--report-append", "history.jsonl"},
                "n\n"),
            kExitCancelled);
  EXPECT_EQ(ModeOf(Path("history.jsonl")), mode_t(0600));
  std::istringstream lines(ReadFile(Path("history-link.jsonl")));
  std::string first, second;
  ASSERT_TRUE(std::getline(lines, first) && std::getline(lines, second));
  EXPECT_EQ(first, "{\"old\": 1}");
  EXPECT_EQ(nlohmann::json::parse(second)["boards"][0]["verdict"], "cancelled");

  // A temporary whose writer was killed is recognized and removed; the second signal
  // removes the one being written, and the old file stays.
  std::ofstream(scratch / ".run.log~AbC123.tmp") << "left by a killed run";
  beforeOutputRename = [] { RemovePendingTemporaries(); };
  EXPECT_EQ(Run({"--board=emulated", "-C", scratch.string(), "--log", "run.log"}, "n\n"),
            kExitCancelled);
  beforeOutputRename = {};
  EXPECT_TRUE(Has(err.str(), "cannot write the log file run.log")) << err.str();
  for (const auto& entry : fs::directory_iterator(scratch))
    EXPECT_FALSE(entry.path().filename().string().ends_with(".tmp")) << entry.path();
}

// `--report -` is standard output; restore's question reads answers as the run's does.
TEST_F(ConsoleTest, TheReportGoesToStandardOutputAndRestoreTakesYesInAnyCase) {
  std::error_code ignored;
  fs::remove(fs::path(kSamples) / "-", ignored);  // what a faulty build's run left there
  EXPECT_EQ(Run({"--board=emulated", "-C", kSamples, "--report", "-"}, "n\n"), kExitCancelled);
  const std::string out = Out();
  const auto report = nlohmann::json::parse(out.substr(out.find('{')));
  EXPECT_EQ(report["boards"][0]["verdict"], "cancelled");
  EXPECT_FALSE(fs::exists(scratch / "-"));
  EXPECT_FALSE(fs::exists(fs::path(kSamples) / "-"));

  std::ofstream(Path("image.bin"), std::ios::binary) << EepromHolding(0x125C, 0x0010);
  for (const auto& [answer, restored] : {std::pair{"Y\n", true}, {"y\r\n", true},
                                         {"n\n", false}, {"yess\n", false}}) {
    EXPECT_EQ(Run({"--board=emulated", "restore", Path("image.bin"), "--eeprom-out",
                   Path("after.bin")},
                  answer),
              restored ? kExitSucceeded : kExitCancelled)
        << answer;
    EXPECT_EQ(touched, std::vector<bool>{restored}) << answer;
  }
}

// Before the first write the board must be the camera's; --force-board writes it anyway.
// (The boot EEPROM is filled after power-up, as on a board that booted without it.) A board
// that then does not start fails the power cycle, even with --yes.
TEST_F(ConsoleTest, OnlyTheCamerasBoardIsWrittenAndOnlyAStartedOneSucceeds) {
  MakeSmallImages();
  const auto holding = [](std::string image) {
    return [image](std::size_t, sim::board::EmulatedBoard& board) {
      board.LoadEepromImage(std::vector<std::uint8_t>(image.begin(), image.end()));
    };
  };
  const std::string foreign = EepromHolding(0x0925, 0x3881);
  const std::string erased(kEepromBytes, '\xFF');
  struct Case {
    Fault fault;
    std::vector<std::string> args;
    std::string cause;  // empty: written
    std::string before;
  };
  const std::vector<Case> cases = {
      {holding(foreign), {}, "chip 0 holds a boot image for 0925:3881, not the camera's", foreign},
      {[](std::size_t, sim::board::EmulatedBoard& board) {
         for (int bank = 0; bank < 6; ++bank) board.SetBankMissing(1, bank, true);
       },
       {}, "chip 1 does not answer: not the camera's board", erased},
      {[](std::size_t, sim::board::EmulatedBoard& board) { board.SetBankMissing(0, 3, true); },
       {}, "chip 0 bank 3 does not answer", erased},
      {holding(foreign), {"--force-board"}, "", ""},
      {holding(EepromHolding(0x125C, 0x0010)), {}, "", ""},
      {holding(EepromHolding(0x04B4, 0x8613)), {}, "", ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--board=emulated", "--yes", "-C", scratch.string(),
                                     "--eeprom-out", "out.bin"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(Run(args, "", c.fault), c.cause.empty() ? kExitSucceeded : kExitFailed)
        << c.cause << err.str();
    if (c.cause.empty()) continue;
    EXPECT_TRUE(Has(Out(), "Error 0x2 (Failed download control firmware)\n")) << Out();
    EXPECT_TRUE(Has(err.str(), c.cause)) << err.str();
    EXPECT_TRUE(ReadFile(Path("out.bin")) == c.before) << "nothing written: " << c.cause;
  }

  // A boot image the FX2 loads, whose code never lights the LED: SJMP $ at 0x0000.
  const std::vector<std::uint8_t> idle = {0xC2, 0x5C, 0x12, 0x10, 0x00, 0x11, 0x00, 0x00,
                                          0x00, 0x02, 0x00, 0x00, 0x80, 0xFE,
                                          0x80, 0x01, 0xE6, 0x00, 0x00};
  std::ofstream(scratch / "tarsel_usb.iic", std::ios::binary)
      .write(reinterpret_cast<const char*>(idle.data()), std::streamsize(idle.size()));
  EXPECT_EQ(Run({"--board=emulated", "--yes", "-C", scratch.string()}), kExitFailed);
  EXPECT_TRUE(
      Has(Out(), "Error 0x8 (Failed to correctly power cycle\nCamera firmware update FAILED."))
      << Out();
  EXPECT_TRUE(Has(err.str(), "(camera not ready)")) << err.str();
}

TEST_F(ConsoleTest, AnExceptionNoStepExpectedIsOneLineAndItsOwnStatus) {
  EXPECT_EQ(Run({"--board=emulated", "-C", kSamples, "--yes"}, "",
                [](std::size_t, auto&) { throw std::bad_alloc(); }),
            kExitInternalError);
  EXPECT_EQ(err.str().substr(err.str().find("vesk-update: internal")),
            "vesk-update: internal error: std::bad_alloc\n");
}

}  // namespace
}  // namespace vesk::console
