// Every request of a whole run made to fail in turn, the board unplugged at each, and a
// stop requested before each, on an erased board and on one that holds an earlier,
// different image set: the run must end with the error line of the step that owns the
// request, never call the board initialised, leave no header that describes anything but
// what the regions hold, put nothing of a later image into the EEPROM, and leave a board
// that the next run initialises.
#include <gtest/gtest.h>

#include <cstdio>

#include "device/debug_output.h"
#include "device/stop_request.h"
#include "sim/board/emulated_board.h"
#include "system_run.h"
#include "test_support.h"

namespace vesk::testing {
namespace {

struct Expected {
  std::size_t owner;  // index into the layout of the image whose step fails
  bool header;        // the header write fails (every image is then written)
  bool firmware;      // the control firmware step fails
};

enum class Fault { RequestFails, Unplugged, Stopped };

const char* Name(Fault fault) {
  switch (fault) {
    case Fault::RequestFails: return "request failure";
    case Fault::Unplugged: return "unplug";
    case Fault::Stopped: return "stop";
  }
  return "?";
}

class FaultSweep : public ::testing::Test {
 protected:
  ScratchDirectory dir;
  QuietStdout quiet;
  std::vector<PlacedImage> images;
  // What a board in the field holds from an earlier run: other sizes, other bytes.
  std::vector<PlacedImage> previous;

  void SetUp() override {
    // BufCon and CamCon cross a bank boundary; the FX2 image is our bootable blink image.
    images = ImageLayout(Pattern(36000, 11), Pattern(36000, 12), ReadSample("tarsel_usb.iic"),
                         Pattern(128, 13), Pattern(128, 14), Pattern(100, 15));
    ASSERT_FALSE(images[2].bytes.empty());
    for (const PlacedImage& image : images) dir.Write(image.file, image.bytes);
    previousSink = SetDebugSink([this](std::string_view) { ++debugLines; });
  }
  void TearDown() override {
    ClearStopRequest();
    SetDebugSink(previousSink);
  }
  DebugSink previousSink;
  std::size_t debugLines = 0;

  // The EEPROM of a board initialised with `previous`; the files are then this run's again.
  std::vector<std::uint8_t> ProgrammedEeprom() {
    previous = ImageLayout(Pattern(60000, 21), Pattern(90000, 22), ReadSample("tarsel_usb.iic"),
                           Pattern(128, 24), Pattern(128, 25), Pattern(300, 26));
    const std::vector<std::uint8_t> eeprom = ProgramBoard(dir, previous);
    for (const PlacedImage& image : images) dir.Write(image.file, image.bytes);
    return eeprom;
  }

  // Which step owns each request of a successful run (index 0 = request 1).
  std::vector<Expected> Owners() {
    SystemRig rig;
    EXPECT_EQ(rig.Run(), RunOutcome::Succeeded);
    EXPECT_TRUE(rig.HoldsCompleteRun(images));
    std::vector<Expected> owners;
    const auto& log = rig.board.RequestLog();
    for (std::size_t i = 0; i < log.size(); ++i) {
      const usb::SetupPacket& s = log[i].setup;
      // Every 0xA0 request and the header erase that follows them belong to the firmware
      // step: a release that fails unnoticed leaves the firmware stopped, and the erase,
      // its first EEPROM write, fails in the same step.
      const bool erase = s.bRequest == 0xC6 && i > 0 && log[i - 1].setup.bRequest == 0xA0;
      if (s.bRequest == 0xA0 || erase) {
        owners.push_back({0, false, true});
        continue;
      }
      const int chip = s.wValue >> 8, bank = s.wValue & 0xFF, offset = s.wIndex;
      if (chip == 0 && bank == 4) {
        owners.push_back({0, true, false});
        continue;
      }
      std::size_t owner = images.size();
      for (std::size_t k = 0; k < images.size(); ++k) {
        const PlacedImage& im = images[k];
        const long start = (im.chip * 6 + im.bank) * 0x8000L + im.offset;
        const long at = (chip * 6 + bank) * 0x8000L + offset;
        if (at >= start && at < start + static_cast<long>(im.bytes.size())) owner = k;
      }
      EXPECT_LT(owner, images.size()) << "a beat outside every image at request " << i + 1;
      owners.push_back({owner, false, false});
    }
    return owners;
  }

  // Checks a failed run against what its failing request owns.
  void CheckFailedRun(SystemRig& rig, RunOutcome outcome, const Expected& e) {
    EXPECT_EQ(outcome, RunOutcome::Failed);
    EXPECT_EQ(rig.host.Log().find("SUCCESSFUL"), std::string::npos);
    if (e.firmware) {
      EXPECT_EQ(rig.host.Log(), FailedLog("Downloading USB control firmware\r\n",
                                          "Error 0x2 (Failed download control firmware)\r\n"));
    } else if (e.header) {
      EXPECT_EQ(rig.host.Log(), FailedLog("Writing USB ROM header...\r\n",
                                          "Error 0x7 (Failed to write USB ROM header)\r\n"));
    } else {
      const PlacedImage& owner = images[e.owner];
      EXPECT_EQ(rig.host.Log(), FailedLog(owner.progressLine, owner.errorLine));
    }
    // Before the firmware runs nothing is written; from then on the header is erased.
    if (e.firmware) {
      EXPECT_TRUE(rig.RegionUnchanged(0, 4, 0, 20)) << "the header changed";
    } else {
      EXPECT_TRUE(rig.RegionErased(0, 4, 0, 20)) << "a header was written or left";
    }
    const std::size_t firstUnwritten = e.header ? images.size() : e.firmware ? 0 : e.owner;
    for (std::size_t k = 0; k < images.size(); ++k) {
      if (k < firstUnwritten) {
        EXPECT_EQ(rig.Region(images[k]), images[k].bytes) << images[k].file << " lost";
      } else if (k > firstUnwritten || e.firmware) {
        EXPECT_TRUE(rig.RegionUnchanged(images[k].chip, images[k].bank, images[k].offset,
                                        static_cast<std::uint32_t>(images[k].bytes.size())))
            << images[k].file << " written after the failure";
      }
    }
  }

  static bool FollowUpFor(std::size_t request, const std::vector<Expected>& owners) {
    // A following run after every EEPROM fault; after firmware-record faults, which all
    // leave the same state (CPU held, partly loaded), after a spread of them.
    const Expected& e = owners[request];
    return !e.firmware || request < 3 || request % 25 == 0 || request + 3 >= owners.size() ||
           !owners[request + 1].firmware;
  }

  // One fault at (or, stopped, before) request i + 1 of the run, from `start`.
  void InjectAndCheck(Fault fault, std::size_t i, const std::vector<Expected>& owners,
                      SystemRig& rig) {
    if (fault == Fault::Unplugged) rig.board.UnplugAfter(static_cast<std::uint32_t>(i));
    if (fault == Fault::RequestFails) rig.source.FailRequest(i + 1);
    if (fault == Fault::Stopped) {
      if (i == 0) RequestStop();
      rig.source.StopAfter(i);
    }
    const RunOutcome outcome = rig.Run();
    if (fault == Fault::Stopped && i == 0) {
      EXPECT_EQ(outcome, RunOutcome::Cancelled);  // stopped at the first question
      EXPECT_EQ(rig.board.RequestLog().size(), 0u);
    } else if (i == owners.size()) {
      // Stopped after the header: all is written, the power-cycle question counts as No.
      EXPECT_EQ(rig.host.Log(), FailedLog("Camera connection closed\r\n",
                                          "Error 0x8 (Failed to correctly power cycle\r\n"));
      EXPECT_TRUE(rig.HoldsCompleteRun(images));
    } else {
      CheckFailedRun(rig, outcome, owners[i]);
    }
  }

  void Sweep(Fault fault) {
    const std::vector<Expected> owners = Owners();
    ASSERT_GT(owners.size(), 100u);
    const std::vector<std::uint8_t> programmed = ProgrammedEeprom();
    // A stop can also come after the last request.
    const std::size_t cases = owners.size() + (fault == Fault::Stopped ? 1 : 0);
    std::size_t faults = 0, wrongVerdicts = 0, staleHeaders = 0, followUps = 0;
    for (const bool fromProgrammed : {false, true}) {
      for (std::size_t i = 0; i < cases; ++i) {
        SCOPED_TRACE(std::string(Name(fault)) + " at request " + std::to_string(i + 1) +
                     (fromProgrammed ? ", programmed board" : ", erased board"));
        SystemRig rig;
        rig.StartFrom(fromProgrammed ? programmed : std::vector<std::uint8_t>{});
        InjectAndCheck(fault, i, owners, rig);
        ++faults;
        if (rig.host.Log().find("SUCCESSFUL") != std::string::npos) ++wrongVerdicts;
        if (rig.HeaderStale({&images, &previous})) ++staleHeaders;
        ClearStopRequest();

        if (i >= owners.size() || !FollowUpFor(i, owners)) continue;
        ++followUps;
        if (fault == Fault::Unplugged) rig.board.PowerCycle();  // plugged in again
        rig.source.Reset();
        EXPECT_EQ(rig.Run(), RunOutcome::Succeeded);
        EXPECT_TRUE(rig.HoldsCompleteRun(images));
        if (HasFailure()) break;  // one broken case says enough
      }
    }
    std::fprintf(stderr,
                 "%s: %zu faults injected, %zu wrong verdicts, %zu stale headers, %zu following "
                 "runs\n",
                 Name(fault), faults, wrongVerdicts, staleHeaders, followUps);
    EXPECT_EQ(staleHeaders, 0u);
    RecordProperty("faults", static_cast<int>(faults));
    RecordProperty("wrong_verdicts", static_cast<int>(wrongVerdicts));
    RecordProperty("stale_headers", static_cast<int>(staleHeaders));
  }
};

TEST_F(FaultSweep, EveryRequestFailingInTurn) { Sweep(Fault::RequestFails); }
TEST_F(FaultSweep, BoardUnpluggedAtEveryRequest) { Sweep(Fault::Unplugged); }
TEST_F(FaultSweep, StopRequestedBeforeEveryRequest) { Sweep(Fault::Stopped); }

TEST_F(FaultSweep, EachMissingBankFailsTheImageThatLivesThere) {
  for (int chip = 0; chip < 2; ++chip) {
    for (int bank = 0; bank < 6; ++bank) {
      SCOPED_TRACE("chip " + std::to_string(chip) + " bank " + std::to_string(bank));
      SystemRig rig;
      rig.board.SetBankMissing(chip, bank, true);
      const RunOutcome outcome = rig.Run();
      std::optional<Expected> expected;
      // The header's bank fails the header erase, in the firmware step.
      if (chip == 0 && bank == 4) expected = Expected{0, false, true};
      for (std::size_t k = 0; k < images.size() && !expected; ++k) {
        const PlacedImage& im = images[k];
        const long start = (im.chip * 6 + im.bank) * 0x8000L + im.offset;
        const long end = start + static_cast<long>(im.bytes.size()) - 1;
        const long first = (chip * 6 + bank) * 0x8000L, last = first + 0x7FFF;
        if (start <= last && end >= first) expected = Expected{k, false, false};
      }
      if (!expected) {
        EXPECT_EQ(outcome, RunOutcome::Succeeded) << "no image lives in this bank";
        continue;
      }
      CheckFailedRun(rig, outcome, *expected);
      rig.board.SetBankMissing(chip, bank, false);
      EXPECT_EQ(rig.Run(), RunOutcome::Succeeded);
    }
  }
}

TEST_F(FaultSweep, BusyEepromAndMidPageNackFailTheirImageAndNothingMoreIsWritten) {
  {
    SystemRig rig;
    rig.board.SetBankStuckBusy(1, 0, true);
    CheckFailedRun(rig, rig.Run(), Expected{1, false, false});
    EXPECT_TRUE(rig.RegionErased(1, 0, 0, 36000));
    rig.board.SetBankStuckBusy(1, 0, false);
    EXPECT_EQ(rig.Run(), RunOutcome::Succeeded);
    EXPECT_TRUE(rig.HoldsCompleteRun(images));
  }
  {
    SystemRig rig;
    rig.board.Bank(0, 1).NackDataByteOnce(32);
    CheckFailedRun(rig, rig.Run(), Expected{0, false, false});
    // The bytes accepted before the refusal may stand; nothing after that page is written.
    EXPECT_TRUE(rig.RegionErased(0, 1, 64, 36000 - 64));
    EXPECT_EQ(rig.Run(), RunOutcome::Succeeded);
    EXPECT_TRUE(rig.HoldsCompleteRun(images));
  }
}

}  // namespace
}  // namespace vesk::testing
