// The sequence's own decisions against a scripted driver: the line each failing step ends
// with, cancelling, stopping, and what a run leaves for the next. The whole successful
// run and the bytes it writes are checked on the emulated board (tests/system).
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>

#include "run/update_sequence.h"
#include "device/control_firmware_table.h"
#include "device/stop_request.h"
#include "images/image_downloads.h"
#include "images/image_file.h"
#include "test_support.h"
#include "tests/expected_logs.h"

namespace vesk {
namespace {

using testing::Pattern;
using testing::ScratchDirectory;

// Records what the window would show and answers from a script.
class ScriptedHost : public UpdateHost {
 public:
  std::deque<int> answers;
  std::vector<std::string> shown;    // every ShowStatusLog, in order
  std::vector<std::string> details;  // every ShowFailureDetail
  std::string stopAfter;             // a stop is requested once the log ends with this

  void ShowStatusLog(const StatusLog& log) override {
    shown.emplace_back(log.Text());
    if (!stopAfter.empty() && shown.back().ends_with(stopAfter)) RequestStop();
  }
  int AskYesNo(std::string_view, std::string_view caption) override {
    EXPECT_EQ(caption, "Vesk USB Update - Confirmation");
    if (answers.empty()) return kAnswerYes;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void ShowFailureDetail(std::string_view detail) override { details.emplace_back(detail); }
  // Set: the run writes these bytes, as the console and the Qt window do.
  std::optional<ImageSnapshot> images;
  const ImageSnapshot* Images() const override { return images ? &*images : nullptr; }
  void ShowReadingFile(const std::string&) override {}
};

// A beat into the header's place that carries anything but the erased state.
bool WritesAHeader(const testing::RecordedIoControl& request) {
  const auto& in = request.input;
  return in.size() > 6 && in[0] == 0xC6 && in[3] == 0 && in[2] == 4 &&
         std::any_of(in.begin() + 6, in.end(), [](std::uint8_t b) { return b != 0xFF; });
}

class UpdateSequenceTest : public ::testing::Test {
 protected:
  ScratchDirectory dir;
  testing::QuietStdout quiet;
  testing::FakeCameraDriver driver;
  ScriptedHost host;
  UpdateState state;
  // hold, the records, release; then the header erase
  const std::size_t firmwareRequests = ControlFirmwareRecordCount - 1 + 2;

  void SetUp() override {
    state.handle.driver = &driver;
    WriteImages();
  }
  void TearDown() override { ClearStopRequest(); }
  void WriteImages() {
    dir.Write(BufConImageFile, Pattern(0x12345, 1));
    dir.Write(CamConImageFile, Pattern(0x24680, 2));
    dir.Write(Fx2ImageFile, Pattern(9000, 3));
    dir.Write(GpifBufConFile, Pattern(128, 4));
    dir.Write(GpifCamConFile, Pattern(128, 5));
    dir.Write(GpifFifoFile, Pattern(128, 6));
  }
  RunOutcome Run() { return RunBoardInitialization(host, state); }
};

// A step's progress line and the error line it ends a failed run with.
struct Step {
  std::string line, error;
};
const Step kFirmware{"Downloading USB control firmware\r\n", "Error 0x2 (Failed download control firmware)\r\n"};
const Step kCamCon{"Downloading CamCon...please wait.....\r\n", "Error 0x4 (Failed to download CamCon)\r\n"};
const Step kHeader{"Writing USB ROM header...\r\n", "Error 0x7 (Failed to write USB ROM header)\r\n"};
const Step kPowerCycle{"Camera connection closed\r\n", "Error 0x8 (Failed to correctly power cycle\r\n"};

TEST_F(UpdateSequenceTest, EachFailingStepEndsTheRunWithItsOwnLineAndCause) {
  using Break = std::function<void(ScratchDirectory&, testing::FakeCameraDriver&, ScriptedHost&)>;
  struct Row {
    const char* name;
    Break breakIt;
    Step step;           // empty: the run is cancelled
    std::string detail;  // empty: none shown
  };
  ASSERT_EQ(Run(), RunOutcome::Succeeded);
  const std::size_t headerRequest = driver.requests.size();  // the last request
  const std::size_t firstCamConBeat = firmwareRequests + 1 + (0x12345 + 4095) / 4096 + 1;
  const std::string headerBeat = "request 0xC6 write, chip 0, bank 4, offset 0x0000, 20 bytes: failed";
  const std::string hold = "request 0xA0 write, address 0xE600, 1 bytes: ";
  const std::string notReady = "the camera was not reported ready after its power cycle";
  const Row rows[] = {
      {"No at the first question", [](auto&, auto&, auto& h) { h.answers = {kAnswerNo}; }, {}, ""},
      {"stop before the first question", [](auto&, auto&, auto& h) { h.stopAfter = "Started\r\n"; }, {}, ""},
      {"no camera", [](auto&, auto& d, auto&) { d.interfacePresent = false; },
       {"Opening camera connection\r\n", "Error 0x1 (Failed to connect to camera)\r\n"},
       "cannot open the camera"},
      {"CPU hold fails", [](auto&, auto& d, auto&) { d.failingRequests = {1}; }, kFirmware, hold + "failed"},
      {"stop during the firmware", [](auto&, auto&, auto& h) { h.stopAfter = kFirmware.line; }, kFirmware,
       hold + "stopped on request"},
      // The header erase is the first request that needs the control firmware running.
      {"header erase fails", [&](auto&, auto& d, auto&) { d.failingRequests = {firmwareRequests + 1}; },
       kFirmware, headerBeat},
      {"BufCon missing", [](auto& dir, auto&, auto&) { std::filesystem::remove(dir.path() / BufConImageFile); },
       {"Downloading BufCon...please wait.....\r\n", "Error 0x3 (Failed to download BufCon)\r\n"},
       "bufcon.bin: missing"},
      {"CamCon empty", [](auto& dir, auto&, auto&) { dir.Write(CamConImageFile, {}); }, kCamCon,
       "camcon.bin: empty"},
      {"CamCon beat fails", [&](auto&, auto& d, auto&) { d.failingRequests = {firstCamConBeat}; }, kCamCon,
       "camcon.bin: request 0xC6 write, chip 1, bank 0, offset 0x0000, 4096 bytes: failed"},
      {"FX2 image too big", [](auto& dir, auto&, auto&) { dir.Write(Fx2ImageFile, Pattern(32769)); },
       {"Downloading FX2...please wait.....\r\n", "Error 0x5 (Failed to download FX2)\r\n"},
       "tarsel_usb.iic: 32769 bytes, FX2 holds at most 32768"},
      // The bytes that are written are checked, not only the file before the run.
      {"FX2 image read for the run is no boot image",
       [](auto& dir, auto&, auto& h) {
         dir.Write(Fx2ImageFile, {0x12, 0x34});
         h.images = TakeImageSnapshot("");
         dir.Write(Fx2ImageFile, testing::ReadSample("tarsel_usb.iic"));
       },
       {"Downloading FX2...please wait.....\r\n", "Error 0x5 (Failed to download FX2)\r\n"},
       "tarsel_usb.iic: not a boot image (first byte 0x12, not 0xC0 or 0xC2)"},
      {"GPIF FIFO missing", [](auto& dir, auto&, auto&) { std::filesystem::remove(dir.path() / GpifFifoFile); },
       {"Downloading GPIF waveforms...\r\n", "Error 0x6 (Failed to download GPIF waveforms)\r\n"},
       "gpif_fifo.bin: missing"},
      {"header write fails", [&](auto&, auto& d, auto&) { d.failingRequests = {headerRequest}; }, kHeader,
       headerBeat},
      {"No at the power cycle", [](auto&, auto&, auto& h) { h.answers = {kAnswerYes, kAnswerNo}; },
       kPowerCycle, notReady},
      {"stop at the power cycle", [](auto&, auto&, auto& h) { h.stopAfter = kPowerCycle.line; }, kPowerCycle,
       notReady},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ClearStopRequest();
    driver = {};
    host = {};
    WriteImages();
    row.breakIt(dir, driver, host);
    const bool cancelled = row.step.line.empty();
    EXPECT_EQ(Run(), cancelled ? RunOutcome::Cancelled : RunOutcome::Failed);
    const std::string log = cancelled ? "USB Board Initialization Started\r\nInitialization cancelled by user\r\n"
                                      : testing::FailedLog(row.step.line, row.step.error);
    EXPECT_EQ(host.shown.back(), log);
    EXPECT_EQ(host.details, row.detail.empty() ? std::vector<std::string>{} : std::vector{row.detail});
    // Nothing is opened before its line, and no header is written before its step.
    EXPECT_EQ(driver.openedMembers.empty(), cancelled);
    EXPECT_EQ(std::count_if(driver.requests.begin(), driver.requests.end(), WritesAHeader),
              log.find(kHeader.line) == std::string::npos ? 0 : 1);
  }
}

TEST_F(UpdateSequenceTest, ANewRunClosesWhatAFailedOneLeftOpenAndStartsAfresh) {
  std::filesystem::remove(dir.path() / GpifFifoFile);
  ASSERT_EQ(Run(), RunOutcome::Failed);
  const NativeDeviceHandle leftOpen = state.handle.value;
  ASSERT_TRUE(driver.openHandles.contains(leftOpen));

  dir.Write(GpifFifoFile, Pattern(64));
  dir.Write(BufConImageFile, Pattern(10));
  dir.Write(CamConImageFile, Pattern(20));
  host.shown.clear();
  ASSERT_EQ(Run(), RunOutcome::Succeeded);
  EXPECT_EQ(host.shown.front(), "USB Board Initialization Started\r\n");
  EXPECT_EQ(driver.closedHandles.front(), leftOpen);
  EXPECT_TRUE(driver.openHandles.empty());
  // The header carries only this run's sizes.
  EXPECT_EQ(state.header.bufConSize(), 10u);
  EXPECT_EQ(state.header.camConSize(), 20u);
}

}  // namespace
}  // namespace vesk
