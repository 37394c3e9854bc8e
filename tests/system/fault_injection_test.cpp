// The whole system on the emulated board: the core, the user-space camera driver and our
// control firmware. A successful run is checked here, whole, once. Then every request of a
// run is made to fail in turn, the board is unplugged at each and a stop is requested before
// each, on an erased board and on one that holds an earlier, different image set: the run
// must end with the error line of the step that owns the request, never call the board
// initialised, leave no header that describes anything but what the regions hold, put
// nothing of a later image into the EEPROM, and leave a board that the next run initialises.
#include <gtest/gtest.h>

#include <cstdio>

#include "run/update_sequence.h"
#include "device/eeprom_writer.h"
#include "device/stop_request.h"
#include "device/usb/usb_camera_driver.h"
#include "firmware/tests/sample_run.h"
#include "images/rom_header.h"
#include "sim/board/emulated_board.h"
#include "test_support.h"
#include "tests/expected_logs.h"

namespace vesk::testing {
namespace {

// Where a byte lives in the saved EEPROM image (chip 0 banks 0..5, then chip 1).
long Linear(int chip, int bank, int offset) { return (chip * 6L + bank) * 0x8000 + offset; }
const long kHeaderAt = Linear(0, 4, 0);

struct PlacedImage {
  std::string file;
  long at;
  std::string progressLine, errorLine;  // of the step that writes it
  std::vector<std::uint8_t> bytes;
};

// The six images in the order a run writes them; the FX2 image is our bootable sample.
std::vector<PlacedImage> ImageLayout(unsigned seed, std::size_t bufCon, std::size_t camCon,
                                     std::size_t fifo) {
  const std::string gpif = "Downloading GPIF waveforms...\r\n";
  const std::string gpifError = "Error 0x6 (Failed to download GPIF waveforms)\r\n";
  return {{"bufcon.bin", Linear(0, 1, 0), "Downloading BufCon...please wait.....\r\n",
           "Error 0x3 (Failed to download BufCon)\r\n", Pattern(bufCon, seed)},
          {"camcon.bin", Linear(1, 0, 0), "Downloading CamCon...please wait.....\r\n",
           "Error 0x4 (Failed to download CamCon)\r\n", Pattern(camCon, seed + 1)},
          {"tarsel_usb.iic", Linear(0, 0, 0), "Downloading FX2...please wait.....\r\n",
           "Error 0x5 (Failed to download FX2)\r\n", ReadSample("tarsel_usb.iic")},
          {"gpif_bufcon.bin", Linear(0, 5, 0), gpif, gpifError, Pattern(128, seed + 3)},
          {"gpif_camcon.bin", Linear(0, 5, 128), gpif, gpifError, Pattern(128, seed + 4)},
          {"gpif_fifo.bin", Linear(0, 5, 256), gpif, gpifError, Pattern(fifo, seed + 5)}};
}

// Passes every control transfer on to the board, except the one numbered `failAt`
// (counted from 1 since the last Reset), which fails without reaching the board. After
// the one numbered `stopAfter` it requests a stop, as an interruption would.
class FaultyBoardSource : public usb::UsbBoardSource {
 public:
  explicit FaultyBoardSource(sim::board::EmulatedBoard& board) : inner_(board) {}
  DriverStatus OpenMember(std::uint16_t member, std::unique_ptr<usb::UsbControlPort>& port,
                          std::string& path) override {
    std::unique_ptr<usb::UsbControlPort> inner;
    DriverStatus status = inner_.OpenMember(member, inner, path);
    if (status.Ok()) port = std::make_unique<Port>(*this, std::move(inner));
    return status;
  }
  void Reset() { count_ = failAt = stopAfter = 0; }
  std::uint64_t failAt = 0, stopAfter = 0;

 private:
  class Port : public usb::UsbControlPort {
   public:
    Port(FaultyBoardSource& owner, std::unique_ptr<usb::UsbControlPort> inner)
        : owner_(owner), inner_(std::move(inner)) {}
    usb::TransferResult ControlTransfer(const usb::SetupPacket& setup,
                                        std::span<std::uint8_t> data) override {
      if (++owner_.count_ == owner_.failAt) return {usb::TransferStatus::Other, 0};
      const usb::TransferResult result = inner_->ControlTransfer(setup, data);
      if (owner_.count_ == owner_.stopAfter) RequestStop();
      return result;
    }

   private:
    FaultyBoardSource& owner_;
    std::unique_ptr<usb::UsbControlPort> inner_;
  };
  sim::board::EmulatedBoardSource inner_;
  std::uint64_t count_ = 0;
};

class YesHost : public UpdateHost {
 public:
  void ShowStatusLog(const StatusLog& log) override { log_ = log.Text(); }
  int AskYesNo(std::string_view, std::string_view) override { return kAnswerYes; }
  const std::string& Log() const { return log_; }

 private:
  std::string log_;
};

struct SystemRig {
  sim::board::EmulatedBoard board;
  FaultyBoardSource source{board};
  usb::UsbCameraDriver driver{source};
  UpdateState state;
  YesHost host;
  std::vector<std::uint8_t> startedFrom = board.SaveEepromImage();

  SystemRig() { state.handle.driver = &driver; }
  // A board whose EEPROMs hold `eeprom`, powered up from it.
  void StartFrom(const std::vector<std::uint8_t>& eeprom) {
    EXPECT_TRUE(board.LoadEepromImage(eeprom));
    board.PowerCycle();
    startedFrom = eeprom;
  }
  RunOutcome Run() { return RunBoardInitialization(host, state); }

  std::vector<std::uint8_t> Now(long at, std::size_t length) const {
    const auto eeprom = board.SaveEepromImage();
    return {eeprom.begin() + at, eeprom.begin() + at + static_cast<long>(length)};
  }
  bool Unchanged(long at, std::size_t length) const {
    return Now(at, length) == std::vector<std::uint8_t>(startedFrom.begin() + at,
                                                        startedFrom.begin() + at + static_cast<long>(length));
  }
  bool HeaderErased() const { return Now(kHeaderAt, 20) == std::vector<std::uint8_t>(20, 0xFF); }

  // Every image in place, byte for byte, and a header describing them.
  ::testing::AssertionResult HoldsCompleteRun(const std::vector<PlacedImage>& images) const {
    for (const PlacedImage& image : images)
      if (Now(image.at, image.bytes.size()) != image.bytes)
        return ::testing::AssertionFailure() << image.file << " differs";
    const auto stored = Now(kHeaderAt, 20);
    const RomHeader h = RomHeader::Decode(std::span<const std::uint8_t, 20>(stored.data(), 20));
    if (h.checksum() != h.ComputeChecksum() || h.presenceFlags() != 0x7F ||
        h.bufConSize() != images[0].bytes.size() || h.camConSize() != images[1].bytes.size() ||
        h.vendorId() != 0x125C || h.productId() != 0x0010 || h.deviceId() != 0x0011)
      return ::testing::AssertionFailure() << "the header does not describe the run";
    return ::testing::AssertionSuccess();
  }
};

class EmulatedBoardRun : public ::testing::Test {
 protected:
  ScratchDirectory dir;
  QuietStdout quiet;
  // BufCon and CamCon cross a bank boundary.
  std::vector<PlacedImage> images = ImageLayout(11, 36000, 36000, 100);

  void SetUp() override { WriteFiles(images); }
  void TearDown() override { ClearStopRequest(); }
  void WriteFiles(const std::vector<PlacedImage>& set) {
    for (const PlacedImage& image : set) dir.Write(image.file, image.bytes);
  }
};

// Then each 4096-byte beat took no more than its idealised time plus 6 %, and the board boots
// the FX2 image written (the blink sample) after a power cycle.
TEST_F(EmulatedBoardRun, SucceedsWithThirteenLinesEveryImageInPlaceAndNothingElseWritten) {
  SystemRig rig;
  ASSERT_EQ(rig.Run(), RunOutcome::Succeeded);
  EXPECT_EQ(rig.host.Log(), kSuccessfulRunLog);
  EXPECT_TRUE(rig.HoldsCompleteRun(images));
  EXPECT_FALSE(rig.state.handle.IsOpen());
  auto eeprom = rig.board.SaveEepromImage();
  for (const PlacedImage& image : images)
    std::fill_n(eeprom.begin() + image.at, image.bytes.size(), 0xFF);
  std::fill_n(eeprom.begin() + kHeaderAt, 20, 0xFF);
  EXPECT_EQ(std::count(eeprom.begin(), eeprom.end(), 0xFF), static_cast<long>(eeprom.size()));

  for (const auto& record : rig.board.RequestLog()) {
    if (record.setup.wLength == kBeatBytes) {
      EXPECT_LE(record.duration, test::BeatBound(kBeatBytes) * 106 / 100) << record.setup.wValue;
    }
  }
  EXPECT_TRUE(rig.board.Ep0Faults().empty());
  EXPECT_EQ(rig.board.I2cLateReads(), 0u);
  EXPECT_EQ(rig.board.PowerCycle().kind, sim::board::BootKind::Loaded);
  rig.board.RunFor(1200 * sim::kPicosPerMilli);
  EXPECT_GE(rig.board.LedToggles(), 4u) << "the blink image toggles the LED every 250 ms";
}

struct Expected {
  std::size_t owner;  // index into the layout of the image whose step fails
  bool header;        // the header write fails (every image is then written)
  bool firmware;      // the control firmware step fails
};

enum class Fault { RequestFails, Unplugged, Stopped };

class FaultSweep : public EmulatedBoardRun {
 protected:
  // What a board in the field holds from an earlier run: other sizes, other bytes.
  std::vector<PlacedImage> previous = ImageLayout(21, 60000, 90000, 300);

  // Which step owns each request of a successful run (index 0 = request 1).
  std::vector<Expected> Owners() {
    SystemRig rig;
    EXPECT_EQ(rig.Run(), RunOutcome::Succeeded);
    std::vector<Expected> owners;
    const auto& log = rig.board.RequestLog();
    for (std::size_t i = 0; i < log.size(); ++i) {
      const usb::SetupPacket& s = log[i].setup;
      // Every 0xA0 request and the header erase that follows them belong to the firmware
      // step: a release that fails unnoticed leaves the firmware stopped, and the erase,
      // its first EEPROM write, fails in the same step.
      if (s.bRequest == 0xA0 || (s.bRequest == 0xC6 && log[i - 1].setup.bRequest == 0xA0)) {
        owners.push_back({0, false, true});
        continue;
      }
      const long at = Linear(s.wValue >> 8, s.wValue & 0xFF, s.wIndex);
      std::size_t owner = images.size();
      for (std::size_t k = 0; k < images.size(); ++k)
        if (at >= images[k].at && at < images[k].at + static_cast<long>(images[k].bytes.size()))
          owner = k;
      EXPECT_TRUE(owner < images.size() || at == kHeaderAt) << "a beat outside every image";
      owners.push_back({owner, at == kHeaderAt, false});
    }
    return owners;
  }

  // Checks a failed run against what its failing request owns.
  void CheckFailedRun(SystemRig& rig, RunOutcome outcome, const Expected& e) {
    EXPECT_EQ(outcome, RunOutcome::Failed);
    if (e.firmware) {
      EXPECT_EQ(rig.host.Log(), FailedLog("Downloading USB control firmware\r\n",
                                          "Error 0x2 (Failed download control firmware)\r\n"));
    } else if (e.header) {
      EXPECT_EQ(rig.host.Log(), FailedLog("Writing USB ROM header...\r\n",
                                          "Error 0x7 (Failed to write USB ROM header)\r\n"));
    } else {
      EXPECT_EQ(rig.host.Log(), FailedLog(images[e.owner].progressLine, images[e.owner].errorLine));
    }
    // Before the firmware runs nothing is written; from then on the header is erased.
    EXPECT_TRUE(e.firmware ? rig.Unchanged(kHeaderAt, 20) : rig.HeaderErased());
    const std::size_t firstUnwritten = e.header ? images.size() : e.firmware ? 0 : e.owner;
    for (std::size_t k = 0; k < images.size(); ++k) {
      const PlacedImage& image = images[k];
      if (k < firstUnwritten) {
        EXPECT_EQ(rig.Now(image.at, image.bytes.size()), image.bytes) << image.file << " lost";
      } else if (k > firstUnwritten || e.firmware) {
        EXPECT_TRUE(rig.Unchanged(image.at, image.bytes.size())) << image.file << " written";
      }
    }
  }

  void Sweep(Fault fault) {
    const std::vector<Expected> owners = Owners();
    ASSERT_GT(owners.size(), 100u);
    std::vector<std::uint8_t> programmed;
    {
      WriteFiles(previous);
      SystemRig rig;
      ASSERT_EQ(rig.Run(), RunOutcome::Succeeded);
      programmed = rig.board.SaveEepromImage();
      WriteFiles(images);
    }
    // A stop can also come after the last request.
    const std::size_t cases = owners.size() + (fault == Fault::Stopped ? 1 : 0);
    std::size_t faults = 0, followUps = 0;
    for (const bool fromProgrammed : {false, true}) {
      for (std::size_t i = 0; i < cases; ++i) {
        SCOPED_TRACE("fault " + std::to_string(static_cast<int>(fault)) + " at request " +
                     std::to_string(i + 1) + (fromProgrammed ? ", programmed board" : ""));
        SystemRig rig;
        if (fromProgrammed) rig.StartFrom(programmed);
        if (fault == Fault::Unplugged) rig.board.UnplugAfter(static_cast<std::uint32_t>(i));
        if (fault == Fault::RequestFails) rig.source.failAt = i + 1;
        if (fault == Fault::Stopped && i == 0) RequestStop();
        if (fault == Fault::Stopped) rig.source.stopAfter = i;
        const RunOutcome outcome = rig.Run();
        ++faults;
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
        ClearStopRequest();

        // A following run after every EEPROM fault; after the firmware-record faults, which
        // all leave the same state (CPU held, partly loaded), after a spread of them.
        const bool spread = i < 3 || i % 25 == 0 || i + 3 >= owners.size();
        if (i >= owners.size() || (owners[i].firmware && owners[i + 1].firmware && !spread))
          continue;
        ++followUps;
        if (fault == Fault::Unplugged) rig.board.PowerCycle();  // plugged in again
        rig.source.Reset();
        EXPECT_EQ(rig.Run(), RunOutcome::Succeeded);
        EXPECT_TRUE(rig.HoldsCompleteRun(images));
        if (HasFailure()) break;  // one broken case says enough
      }
    }
    std::fprintf(stderr, "%zu faults injected, %zu following runs\n", faults, followUps);
  }
};

TEST_F(FaultSweep, EveryRequestFailingInTurn) { Sweep(Fault::RequestFails); }
TEST_F(FaultSweep, BoardUnpluggedAtEveryRequest) { Sweep(Fault::Unplugged); }
TEST_F(FaultSweep, StopRequestedBeforeEveryRequest) { Sweep(Fault::Stopped); }

// A bank that never ends its write cycle is a case of the firmware's end-to-end tests.
TEST_F(FaultSweep, MidPageNackFailsItsImageAndNothingMoreIsWritten) {
  SystemRig rig;
  rig.board.Bank(0, 1).NackDataByte(32, 1 + 3);
  CheckFailedRun(rig, rig.Run(), Expected{0, false, false});
  // The bytes accepted before the refusal may stand; nothing after that page is written.
  EXPECT_TRUE(rig.Unchanged(Linear(0, 1, 64), 36000 - 64));
  EXPECT_EQ(rig.Run(), RunOutcome::Succeeded);
  EXPECT_TRUE(rig.HoldsCompleteRun(images));
}

}  // namespace
}  // namespace vesk::testing
