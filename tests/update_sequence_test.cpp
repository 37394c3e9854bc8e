#include <gtest/gtest.h>

#include <deque>

#include "app/update_sequence.h"
#include "device/control_firmware_table.h"
#include "device/stop_request.h"
#include "images/image_file.h"
#include "test_support.h"
#include "tests/expected_logs.h"

namespace vesk {
namespace {

using testing::Bytes;
using testing::EepromBeats;
using testing::Pattern;
using testing::ScratchDirectory;

// Records what the window would show, and when, and answers from a script.
class ScriptedHost : public UpdateHost {
 public:
  explicit ScriptedHost(const testing::FakeCameraDriver& driver) : driver_(driver) {}

  std::deque<int> answers;
  std::vector<std::string> questions;
  std::vector<std::string> shown;           // every ShowStatusLog, in order
  std::vector<std::size_t> requestsAtShow;  // requests sent before that ShowStatusLog
  std::size_t progressCalls = 0;
  std::string stopAfter;  // a stop is requested once the log ends with this

  void ShowStatusLog(const StatusLog& log) override {
    shown.emplace_back(log.Text());
    if (!stopAfter.empty() && shown.back().ends_with(stopAfter)) RequestStop();
    requestsAtShow.push_back(driver_.requests.size());
  }
  int AskYesNo(std::string_view text, std::string_view caption) override {
    EXPECT_EQ(caption, "Vesk USB Update - Confirmation");
    questions.emplace_back(text);
    if (answers.empty()) return kAnswerYes;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void ShowImageProgress(const std::string&, std::uint32_t, std::uint32_t) override {
    ++progressCalls;
  }
  std::vector<std::string> details;  // every ShowFailureDetail, with the log shown before it
  void ShowFailureDetail(std::string_view detail) override {
    details.push_back(shown.back() + "|" + std::string(detail));
  }
  const std::string& last() const { return shown.back(); }

 private:
  const testing::FakeCameraDriver& driver_;
};

const std::string kSuccessLog(testing::kSuccessfulRunLog);

// True for a beat into the header region that carries anything but the erased state.
bool WritesAHeader(const testing::RecordedIoControl& request) {
  const auto& in = request.input;
  return in.size() > 6 && in[0] == 0xC6 && in[3] == 0 && in[2] == 4 &&
         std::any_of(in.begin() + 6, in.end(), [](std::uint8_t b) { return b != 0xFF; });
}

std::string UpTo(const std::string& lastLine) {
  const std::string log = kSuccessLog;
  return log.substr(0, log.find(lastLine) + lastLine.size());
}

class UpdateSequenceTest : public ::testing::Test {
 protected:
  ScratchDirectory dir;
  testing::QuietStdout quiet;
  testing::FakeCameraDriver driver;
  ScriptedHost host{driver};
  UpdateState state;
  std::size_t firmwareRequests = ControlFirmwareRecordCount - 1 + 2;  // hold, records, release

  void SetUp() override {
    state.handle.driver = &driver;
    WriteSamples();
  }
  void WriteSamples() {
    dir.Write(BufConImageFile, Pattern(0x12345, 1));
    dir.Write(CamConImageFile, Pattern(0x24680, 2));
    dir.Write(Fx2ImageFile, Pattern(9000, 3));
    dir.Write(GpifBufConFile, Pattern(128, 4));
    dir.Write(GpifCamConFile, Pattern(128, 5));
    dir.Write(GpifFifoFile, Pattern(128, 6));
  }
  void TearDown() override {
    ClearStopRequest();
  }

  RunOutcome Run() { return RunBoardInitialization(host, state); }
};

TEST_F(UpdateSequenceTest, SuccessfulRunLogsThirteenLinesAndClosesTheConnection) {
  ASSERT_EQ(Run(), RunOutcome::Succeeded);
  EXPECT_EQ(host.last(), kSuccessLog);
  EXPECT_EQ(host.questions.size(), 2u);
  EXPECT_EQ(host.questions[1], kPowerCycleQuestion);
  EXPECT_EQ(driver.openHandles.size(), 0u);
  EXPECT_GT(host.progressCalls, 0u);
}

TEST_F(UpdateSequenceTest, EachProgressLineIsShownBeforeItsStepSendsAnything) {
  ASSERT_EQ(Run(), RunOutcome::Succeeded);
  auto requestsWhenShown = [&](const std::string& line) {
    for (std::size_t i = 0; i < host.shown.size(); ++i)
      if (host.shown[i].ends_with(line)) return host.requestsAtShow[i];
    ADD_FAILURE() << "never shown: " << line;
    return std::size_t{0};
  };
  EXPECT_EQ(requestsWhenShown("Downloading USB control firmware\r\n"), 0u);
  // The old header is erased once the firmware runs, before the BufCon line.
  EXPECT_EQ(requestsWhenShown("Downloading BufCon...please wait.....\r\n"), firmwareRequests + 1);
  auto erase = Bytes({0xC6, 0x00, 0x04, 0x00, 0x00, 0x00});
  erase.resize(26, 0xFF);
  EXPECT_EQ(driver.requests.at(firmwareRequests).input, erase);
  const auto beats = EepromBeats(driver.requests);
  // The header is the last request, sent after its line was shown.
  EXPECT_EQ(requestsWhenShown("Writing USB ROM header...\r\n"), driver.requests.size() - 1);
  EXPECT_EQ(beats.size(), driver.requests.size() - firmwareRequests);
}

TEST_F(UpdateSequenceTest, CancelledRunTouchesNoDevice) {
  host.answers = {kAnswerNo};
  EXPECT_EQ(Run(), RunOutcome::Cancelled);
  EXPECT_EQ(host.last(),
            "USB Board Initialization Started\r\nInitialization cancelled by user\r\n");
  EXPECT_TRUE(driver.openedMembers.empty());
  EXPECT_TRUE(driver.requests.empty());
}

TEST_F(UpdateSequenceTest, EachFailingStepEndsTheRunWithItsOwnLine) {
  struct Case {
    const char* progressLine;
    const char* errorLine;
    std::function<void(ScratchDirectory&, testing::FakeCameraDriver&)> breakIt;
    std::string detail;  // the cause shown after the log
  };
  const std::size_t firstCamConBeat = firmwareRequests + 1 + (0x12345 + 4095) / 4096 + 1;
  ASSERT_EQ(Run(), RunOutcome::Succeeded);
  const std::size_t headerRequest = driver.requests.size();  // the last
  const std::vector<Case> cases = {
      {"Opening camera connection\r\n", "Error 0x1 (Failed to connect to camera)\r\n",
       [](auto&, auto& d) { d.interfacePresent = false; }, "cannot open the camera"},
      {"Downloading USB control firmware\r\n", "Error 0x2 (Failed download control firmware)\r\n",
       [](auto&, auto& d) { d.failingRequests = {1}; },
       "request 0xA0 write, address 0xE600, 1 bytes: failed"},
      // The header erase: the first request that needs the control firmware running.
      {"Downloading USB control firmware\r\n", "Error 0x2 (Failed download control firmware)\r\n",
       [this](auto&, auto& d) { d.failingRequests = {firmwareRequests + 1}; },
       "request 0xC6 write, chip 0, bank 4, offset 0x0000, 20 bytes: failed"},
      {"Downloading BufCon...please wait.....\r\n", "Error 0x3 (Failed to download BufCon)\r\n",
       [](auto& dir, auto&) { std::filesystem::remove(dir.path() / BufConImageFile); },
       "bufcon.bin: missing"},
      {"Downloading CamCon...please wait.....\r\n", "Error 0x4 (Failed to download CamCon)\r\n",
       [](auto& dir, auto&) { dir.Write(CamConImageFile, {}); }, "camcon.bin: empty"},
      {"Downloading CamCon...please wait.....\r\n", "Error 0x4 (Failed to download CamCon)\r\n",
       [&](auto&, auto& d) { d.failingRequests = {firstCamConBeat}; },
       "camcon.bin: request 0xC6 write, chip 1, bank 0, offset 0x0000, 4096 bytes: failed"},
      {"Downloading FX2...please wait.....\r\n", "Error 0x5 (Failed to download FX2)\r\n",
       [](auto& dir, auto&) { dir.Write(Fx2ImageFile, Pattern(32769)); },
       "tarsel_usb.iic: 32769 bytes, FX2 holds at most 32768"},
      {"Downloading GPIF waveforms...\r\n", "Error 0x6 (Failed to download GPIF waveforms)\r\n",
       [](auto& dir, auto&) { std::filesystem::remove(dir.path() / GpifFifoFile); },
       "gpif_fifo.bin: missing"},
      {"Writing USB ROM header...\r\n", "Error 0x7 (Failed to write USB ROM header)\r\n",
       [&](auto&, auto& d) { d.failingRequests = {headerRequest}; },
       "request 0xC6 write, chip 0, bank 4, offset 0x0000, 20 bytes: failed"},
      {"Camera connection closed\r\n", "Error 0x8 (Failed to correctly power cycle\r\n",
       [this](auto&, auto&) { host.answers = {kAnswerYes, kAnswerNo}; },
       "the camera was not reported ready after its power cycle"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.errorLine);
    driver.requests.clear();
    driver.failingRequests.clear();
    driver.interfacePresent = true;
    host.details.clear();
    c.breakIt(dir, driver);
    EXPECT_EQ(Run(), RunOutcome::Failed);
    EXPECT_EQ(host.last(), UpTo(c.progressLine) + c.errorLine + "Camera firmware update FAILED.");
    EXPECT_EQ(host.details, std::vector<std::string>{host.last() + "|" + c.detail});
    // No header is sent before its own step.
    EXPECT_EQ(std::count_if(driver.requests.begin(), driver.requests.end(), WritesAHeader),
              UpTo(c.progressLine).find("Writing USB ROM header") == std::string::npos ? 0 : 1);
    WriteSamples();                      // restore the files for the next case
  }
}

TEST_F(UpdateSequenceTest, AStopFailsTheStepInProgressAndAnswersQuestionsNo) {
  struct Case {
    std::string stopAfter;
    std::string log;
    RunOutcome outcome;
  };
  const std::string failed = "Camera firmware update FAILED.";
  const std::vector<Case> cases = {
      {"USB Board Initialization Started\r\n",
       "USB Board Initialization Started\r\nInitialization cancelled by user\r\n",
       RunOutcome::Cancelled},
      {"Downloading USB control firmware\r\n",
       UpTo("Downloading USB control firmware\r\n") +
           "Error 0x2 (Failed download control firmware)\r\n" + failed,
       RunOutcome::Failed},
      {"Downloading CamCon...please wait.....\r\n",
       UpTo("Downloading CamCon...please wait.....\r\n") +
           "Error 0x4 (Failed to download CamCon)\r\n" + failed,
       RunOutcome::Failed},
      {"Camera connection closed\r\n",
       UpTo("Camera connection closed\r\n") + "Error 0x8 (Failed to correctly power cycle\r\n" +
           failed,
       RunOutcome::Failed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stopAfter);
    ClearStopRequest();
    host.stopAfter = c.stopAfter;
    driver.requests.clear();
    host.questions.clear();
    const std::size_t shownBefore = host.shown.size();
    EXPECT_EQ(Run(), c.outcome);
    EXPECT_EQ(host.last(), c.log);
    // Nothing is sent after the line at which the stop came.
    for (std::size_t i = shownBefore; i < host.shown.size(); ++i) {
      if (host.shown[i].ends_with(c.stopAfter)) {
        EXPECT_EQ(host.requestsAtShow[i], driver.requests.size());
      }
    }
    EXPECT_LE(host.questions.size(), 1u);  // the power-cycle question is never asked
  }
}

TEST_F(UpdateSequenceTest, SecondRunStartsAfreshAndClosesTheHandleAFailedRunLeft) {
  std::filesystem::remove(dir.path() / GpifFifoFile);
  ASSERT_EQ(Run(), RunOutcome::Failed);
  const NativeDeviceHandle leftOpen = state.handle.value;
  ASSERT_TRUE(driver.openHandles.contains(leftOpen));

  dir.Write(GpifFifoFile, Pattern(64));
  dir.Write(BufConImageFile, Pattern(10));
  dir.Write(CamConImageFile, Pattern(20));
  ASSERT_EQ(Run(), RunOutcome::Succeeded);
  EXPECT_EQ(host.last(), kSuccessLog);
  EXPECT_EQ(driver.closedHandles.front(), leftOpen);
  EXPECT_TRUE(driver.openHandles.empty());
  // The header carries only this run's sizes.
  EXPECT_EQ(state.header.bufConSize(), 10u);
  EXPECT_EQ(state.header.camConSize(), 20u);
  // The first line shown by the second run is the first line alone.
  const auto start = std::find(host.shown.rbegin(), host.shown.rend(),
                               std::string("USB Board Initialization Started\r\n"));
  EXPECT_NE(start, host.shown.rend());
}

}  // namespace
}  // namespace vesk
