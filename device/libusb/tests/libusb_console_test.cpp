// The console program through real libusb, on boards that umockdev emulates.

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/console/console_app.h"
#include "sim/board/emulated_board.h"
#include "device/libusb/tests/mock_usb_bus.h"
#include "tests/test_support.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using sim::board::EmulatedBoard;

class LibusbConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    // Small images: a few beats per board, one of them a whole 4096 bytes.
    fs::copy_file(fs::path(VESK_SAMPLES_DIR) / "tarsel_usb.iic", "tarsel_usb.iic");
    for (const auto& [name, size] : {std::pair{"bufcon.bin", 5000}, {"camcon.bin", 200},
                                     {"gpif_bufcon.bin", 128}, {"gpif_camcon.bin", 128},
                                     {"gpif_fifo.bin", 100}})
      scratch_.Write(name, std::vector<std::uint8_t>(size, 0x5A));
  }

  int Run(std::vector<std::string> args, const std::string& answers = "") {
    args.insert(args.begin(), {"vesk-update", "--board=usb"});
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    std::istringstream in(answers);
    out_.str("");
    errBuffer_.str("");
    console::ConsoleEnvironment env{in, out_, err_, false};
    return console::RunConsole(static_cast<int>(argv.size()), argv.data(), env);
  }

  // Standard error, which tells the test thread when the console has come to `awaited`.
  struct WatchedBuffer : std::stringbuf {
    std::mutex mutex;
    std::condition_variable seen;
    std::string awaited;
    bool arrived = false;
    int sync() override {
      const std::lock_guard lock(mutex);
      if (!awaited.empty() && str().find(awaited) != std::string::npos) arrived = true;
      seen.notify_all();
      return 0;
    }
    void Await() {
      std::unique_lock lock(mutex);
      seen.wait_for(lock, std::chrono::seconds(30), [&] { return arrived; });
    }
  };

  EmulatedBoard bare_, camera_;
  testing::MockUsbBus bus_;
  testing::ScratchDirectory scratch_;  // the working directory, with the images
  std::ostringstream out_;
  WatchedBuffer errBuffer_;
  std::ostream err_{&errBuffer_};
  std::string Err() { const std::lock_guard lock(errBuffer_.mutex); return errBuffer_.str(); }
};

TEST_F(LibusbConsole, ReadGivesTheWholeEepromAndRestoreWritesItBack) {
  bus_.Add("1-2", usb::kProgrammedIdentity, &camera_);
  const std::vector<std::uint8_t> pattern = testing::Pattern(sim::board::kEepromImageSize);
  ASSERT_TRUE(camera_.LoadEepromImage(pattern));
  ASSERT_EQ(Run({"read", "read.bin"}), console::kExitSucceeded) << Err();
  std::ifstream read("read.bin", std::ios::binary);
  EXPECT_EQ(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(read), {}), pattern);

  const std::vector<std::uint8_t> other = testing::Pattern(pattern.size(), 2);
  scratch_.Write("other.bin", other);
  ASSERT_EQ(Run({"--yes", "restore", "other.bin"}), console::kExitSucceeded) << Err();
  EXPECT_EQ(camera_.SaveEepromImage(), other);
}

// Two boards and another device of the same maker: only the boards are listed, no board
// is chosen for the operator, and only the chosen ones are written.
TEST_F(LibusbConsole, ListsTheBoardsAndWritesOnlyTheChosenOnes) {
  bus_.Add("1-2", usb::kBareFx2Identity, &bare_);
  bus_.Add("1-3", usb::kProgrammedIdentity, &camera_);
  testing::MockBoard& other = bus_.Add("1-4", {0x04B4, 0x1004});

  ASSERT_EQ(Run({"list"}), console::kExitSucceeded) << Err();
  const std::string list = out_.str();
  EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 2) << list;
  for (const char* line : {"  usb:1-2  04B4:8613  bare FX2  bus 1 port 2\n",
                           "  usb:1-3  125C:0010  camera firmware  bus 1 port 3\n"})
    EXPECT_NE(list.find(line), std::string::npos) << list;
  ASSERT_EQ(Run({"list", "--json"}), console::kExitSucceeded) << Err();
  // The same boards in the same order as the lines, whichever order the bus gives.
  nlohmann::json boards = nlohmann::json::parse(out_.str())["boards"];
  ASSERT_EQ(boards.size(), 2u) << out_.str();
  for (std::size_t i = 0; i < boards.size(); ++i) {
    EXPECT_EQ(boards[i]["index"], i);
    EXPECT_NE(list.find(std::to_string(i) + "  " + boards[i]["path"].get<std::string>()),
              std::string::npos);
    boards[i].erase("index");
  }
  std::sort(boards.begin(), boards.end());
  EXPECT_EQ(boards, nlohmann::json::parse(R"([
              {"path": "usb:1-2", "identity": "04B4:8613", "state": "bare FX2",
               "location": "bus 1 port 2"},
              {"path": "usb:1-3", "identity": "125C:0010", "state": "camera firmware",
               "location": "bus 1 port 3"}])"));
  EXPECT_EQ(Run({"--yes"}), console::kExitUsage);
  EXPECT_NE(Err().find("2 boards are attached"), std::string::npos) << Err();
  EXPECT_TRUE(bare_.RequestLog().empty() && camera_.RequestLog().empty());

  ASSERT_EQ(Run({"--device", "usb:1-3"}, "y\ny\n"), console::kExitSucceeded) << Err();
  EXPECT_TRUE(bare_.RequestLog().empty()) << "a board that was not chosen was written";
  EXPECT_EQ(camera_.SaveEepromImage()[32768 + 4999], 0x5A) << "BufCon's last byte";

  // Each question is asked once for both boards.
  ASSERT_EQ(Run({"--all"}, "y\ny\n"), console::kExitSucceeded) << out_.str() << Err();
  for (const char* line : {"usb:1-2: Camera firmware update SUCCESSFUL.",
                           "usb:1-3: Camera firmware update SUCCESSFUL."})
    EXPECT_NE(out_.str().find(line), std::string::npos) << out_.str();
  EXPECT_EQ(bare_.SaveEepromImage()[32768 + 4999], 0x5A);
  EXPECT_EQ(other.Requests(), 0) << "the other device was opened";
}

// What went wrong follows the error line.
TEST_F(LibusbConsole, FailuresAreExplained) {
  EXPECT_EQ(Run({"--yes"}), console::kExitNoBoard);
  EXPECT_NE(Err().find("vesk-update: cannot open the camera: no device (looked for "
                            "04B4:8613 and 125C:0010)\n"),
            std::string::npos)
      << Err();

  bus_.Add("1-2", usb::kProgrammedIdentity, &camera_);
  camera_.SetBankWriteProtected(1, 0, true);
  EXPECT_EQ(Run({"--yes"}), console::kExitFailed);
  EXPECT_NE(Err().find("vesk-update: camcon.bin: request 0xC6 write, chip 1, bank 0, "
                            "offset 0x0000, 200 bytes: stall\n"),
            std::string::npos)
      << Err();
}

// --wait: a board attached while the console waits is found; without one the wait ends
// at its limit.
TEST_F(LibusbConsole, WaitsForABoardToBeAttached) {
  struct Row {
    std::vector<std::string> args;
    bool attach;  // half a second after the start
    int exit;
    std::string said;
    double minSeconds, maxSeconds;
  };
  const Row rows[] = {
      {{"--yes", "--wait=1"}, false, console::kExitNoBoard, "cannot open the camera: no device",
       0.9, 3},
      {{"list", "--json", "--wait=0.5"}, false, console::kExitNoBoard, "\"boards\": []", 0.4, 3},
      {{"list", "--wait=10"}, true, console::kExitSucceeded,
       "0  usb:1-2  125C:0010  camera firmware  bus 1 port 2\n", 0.4, 5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args.back());
    int exit = -1;
    const auto start = std::chrono::steady_clock::now();
    std::thread console([&] { exit = Run(row.args); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (row.attach) bus_.Add("1-2", usb::kProgrammedIdentity, &camera_);
    console.join();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(exit, row.exit);
    EXPECT_NE((out_.str() + Err()).find(row.said), std::string::npos) << out_.str() << Err();
    EXPECT_NE(Err().find("Waiting for a board to be attached..."), std::string::npos);
    EXPECT_GE(took.count(), row.minSeconds);
    EXPECT_LE(took.count(), row.maxSeconds);
  }
}

// With --yes through libusb the power-cycle question is answered by the board: Yes once it
// has gone and come back as the written FX2 image declares, No when it comes back as
// something else or is not power-cycled within the time.
TEST_F(LibusbConsole, WaitBootAnswersThePowerCycleWithWhatTheBoardDid) {
  struct Row {
    std::vector<std::string> args;
    std::optional<usb::BoardIdentity> comesBackAs;  // none: never power-cycled
    int exit;
    std::string said;
  };
  const Row rows[] = {
      {{"--yes"}, usb::kProgrammedIdentity, console::kExitSucceeded,
       "Board usb:1-2 came back as 125C:0010\n"},
      {{"--wait-boot=10"}, usb::kBareFx2Identity, console::kExitFailed,
       "Board usb:1-2 came back as 04B4:8613, not 125C:0010\n"},
      {{"--yes", "--wait-boot=1"}, std::nullopt, console::kExitFailed,
       "did not go away within 1 s (not power-cycled?)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.said);
    EmulatedBoard board;
    bus_.Add("1-2", usb::kBareFx2Identity, &board);
    {
      const std::lock_guard lock(errBuffer_.mutex);
      errBuffer_.awaited = "to be power-cycled and come back as 125C:0010";
      errBuffer_.arrived = false;
    }
    int exit = -1;
    // Only the first question is the operator's (without --yes).
    std::thread console([&] { exit = Run(row.args, "y\n"); });
    errBuffer_.Await();
    if (row.comesBackAs) {
      bus_.Remove("1-2");
      std::this_thread::sleep_for(std::chrono::milliseconds(600));
      bus_.Add("1-2", *row.comesBackAs, &board);
    }
    console.join();
    EXPECT_EQ(exit, row.exit) << out_.str() << Err();
    EXPECT_NE(Err().find(row.said), std::string::npos) << Err();
    EXPECT_NE(Err().find("Is the camera ready?\n"), std::string::npos) << "the question is shown";
    EXPECT_EQ(out_.str().find("Camera firmware update SUCCESSFUL.") != std::string::npos,
              row.exit == console::kExitSucceeded)
        << out_.str();
    bus_.Remove("1-2");
  }
}

}  // namespace
}  // namespace vesk
