#pragma once
// One operator's run on the emulated board, through the core, the user-space camera
// driver and our control firmware, with faults injected below the driver.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/update_sequence.h"
#include "device/usb/usb_camera_driver.h"
#include "sim/board/emulated_board.h"
#include "test_support.h"

namespace vesk::testing {

// An image file and where it lives in the EEPROM.
struct PlacedImage {
  std::string file;
  int chip, bank, offset;
  std::uint32_t room;
  std::string progressLine;  // of the step that writes it
  std::string errorLine;
  std::vector<std::uint8_t> bytes;
};

// The six images in the order a run writes them, with the given contents.
std::vector<PlacedImage> ImageLayout(const std::vector<std::uint8_t>& bufcon,
                                     const std::vector<std::uint8_t>& camcon,
                                     const std::vector<std::uint8_t>& fx2,
                                     const std::vector<std::uint8_t>& gpifBufCon,
                                     const std::vector<std::uint8_t>& gpifCamCon,
                                     const std::vector<std::uint8_t>& gpifFifo);

// Passes every control transfer on to the board, except the one numbered `failAt`
// (counted from 1 since the last Reset), which fails without reaching the board. After
// the one numbered `stopAfter` it requests a stop, as an interruption would.
class FaultyBoardSource : public usb::UsbBoardSource {
 public:
  explicit FaultyBoardSource(sim::board::EmulatedBoard& board) : inner_(board) {}
  std::unique_ptr<usb::UsbControlPort> OpenMember(std::uint16_t memberIndex,
                                                  std::string& path) override;
  void FailRequest(std::uint64_t number) { failAt_ = number; }
  void StopAfter(std::uint64_t number) { stopAfter_ = number; }
  std::uint64_t Requests() const { return count_; }
  void Reset() { count_ = 0; failAt_ = 0; stopAfter_ = 0; }

 private:
  class Port;
  sim::board::EmulatedBoardSource inner_;
  std::uint64_t count_ = 0;
  std::uint64_t failAt_ = 0;
  std::uint64_t stopAfter_ = 0;
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

  SystemRig() { state.handle.driver = &driver; }
  // Starts from a board whose EEPROMs hold `eeprom` (empty: erased), powered up from it.
  void StartFrom(const std::vector<std::uint8_t>& eeprom);
  RunOutcome Run() { return RunBoardInitialization(host, state); }

  // The bytes at an image's place, as long as the image.
  std::vector<std::uint8_t> Region(const PlacedImage& image);
  bool RegionErased(int chip, int bank, int offset, std::uint32_t length);
  // The bytes are what they were at StartFrom (erased without it).
  bool RegionUnchanged(int chip, int bank, int offset, std::uint32_t length);
  // Every image in place, byte for byte, and a header describing them.
  ::testing::AssertionResult HoldsCompleteRun(const std::vector<PlacedImage>& images);
  // The header region holds neither the erased state nor a header that describes what the
  // regions hold (one of `sets`, complete): the camera would load the wrong images.
  bool HeaderStale(const std::vector<const std::vector<PlacedImage>*>& sets);

  std::vector<std::uint8_t> startedFrom;
};

// The EEPROM of a board that a run initialised with `set`, whose files it leaves in `dir`.
std::vector<std::uint8_t> ProgramBoard(const ScratchDirectory& dir,
                                       const std::vector<PlacedImage>& set);

// The run's log up to and including `line`, then `errorLine` and the FAILED verdict.
std::string FailedLog(const std::string& lastProgressLine, const std::string& errorLine);

}  // namespace vesk::testing
