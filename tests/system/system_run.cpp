#include "system_run.h"

#include <algorithm>

#include "device/stop_request.h"
#include "images/rom_header.h"
#include "tests/expected_logs.h"

namespace vesk::testing {

std::vector<PlacedImage> ImageLayout(const std::vector<std::uint8_t>& bufcon,
                                     const std::vector<std::uint8_t>& camcon,
                                     const std::vector<std::uint8_t>& fx2,
                                     const std::vector<std::uint8_t>& gpifBufCon,
                                     const std::vector<std::uint8_t>& gpifCamCon,
                                     const std::vector<std::uint8_t>& gpifFifo) {
  const std::string gpifLine = "Downloading GPIF waveforms...\r\n";
  const std::string gpifError = "Error 0x6 (Failed to download GPIF waveforms)\r\n";
  return {
      {"bufcon.bin", 0, 1, 0, 98304, "Downloading BufCon...please wait.....\r\n",
       "Error 0x3 (Failed to download BufCon)\r\n", bufcon},
      {"camcon.bin", 1, 0, 0, 196608, "Downloading CamCon...please wait.....\r\n",
       "Error 0x4 (Failed to download CamCon)\r\n", camcon},
      {"tarsel_usb.iic", 0, 0, 0, 32768, "Downloading FX2...please wait.....\r\n",
       "Error 0x5 (Failed to download FX2)\r\n", fx2},
      {"gpif_bufcon.bin", 0, 5, 0, 128, gpifLine, gpifError, gpifBufCon},
      {"gpif_camcon.bin", 0, 5, 128, 128, gpifLine, gpifError, gpifCamCon},
      {"gpif_fifo.bin", 0, 5, 256, 32512, gpifLine, gpifError, gpifFifo},
  };
}

class FaultyBoardSource::Port : public usb::UsbControlPort {
 public:
  Port(FaultyBoardSource& owner, std::unique_ptr<usb::UsbControlPort> inner)
      : owner_(owner), inner_(std::move(inner)) {}
  usb::TransferResult ControlTransfer(const usb::SetupPacket& setup,
                                      std::span<std::uint8_t> data) override {
    if (++owner_.count_ == owner_.failAt_) return {usb::TransferStatus::Error, 0};
    const usb::TransferResult result = inner_->ControlTransfer(setup, data);
    if (owner_.count_ == owner_.stopAfter_) RequestStop();
    return result;
  }

 private:
  FaultyBoardSource& owner_;
  std::unique_ptr<usb::UsbControlPort> inner_;
};

std::unique_ptr<usb::UsbControlPort> FaultyBoardSource::OpenMember(std::uint16_t memberIndex,
                                                                   std::string& path) {
  auto inner = inner_.OpenMember(memberIndex, path);
  if (!inner) return nullptr;
  return std::make_unique<Port>(*this, std::move(inner));
}

namespace {
// Walks an image's bytes across banks and chips as the paged writer does.
template <typename Visit>
void ForEachByte(int chip, int bank, int offset, std::uint32_t length, Visit visit) {
  for (std::uint32_t i = 0; i < length; ++i) {
    visit(chip, bank, offset, i);
    if (++offset == 0x8000) {
      offset = 0;
      if (++bank == 6) {
        bank = 0;
        ++chip;
      }
    }
  }
}
}  // namespace

void SystemRig::StartFrom(const std::vector<std::uint8_t>& eeprom) {
  if (!eeprom.empty()) {
    EXPECT_TRUE(board.LoadEepromImage(eeprom));
    board.PowerCycle();
  }
  startedFrom = board.SaveEepromImage();
}

std::vector<std::uint8_t> SystemRig::Region(const PlacedImage& image) {
  std::vector<std::uint8_t> bytes;
  ForEachByte(image.chip, image.bank, image.offset, static_cast<std::uint32_t>(image.bytes.size()),
              [&](int c, int b, int o, std::uint32_t) { bytes.push_back(board.Bank(c, b).Contents()[o]); });
  return bytes;
}

bool SystemRig::RegionErased(int chip, int bank, int offset, std::uint32_t length) {
  bool erased = true;
  ForEachByte(chip, bank, offset, length, [&](int c, int b, int o, std::uint32_t) {
    erased = erased && board.Bank(c, b).Contents()[o] == 0xFF;
  });
  return erased;
}

bool SystemRig::RegionUnchanged(int chip, int bank, int offset, std::uint32_t length) {
  if (startedFrom.empty()) return RegionErased(chip, bank, offset, length);
  bool unchanged = true;
  ForEachByte(chip, bank, offset, length, [&](int c, int b, int o, std::uint32_t) {
    unchanged = unchanged && board.Bank(c, b).Contents()[o] ==
                                 startedFrom[static_cast<std::size_t>(c * 6 + b) * 0x8000 + o];
  });
  return unchanged;
}

bool SystemRig::HeaderStale(const std::vector<const std::vector<PlacedImage>*>& sets) {
  if (RegionErased(0, 4, 0, 20)) return false;
  return std::none_of(sets.begin(), sets.end(),
                      [&](const auto* set) { return static_cast<bool>(HoldsCompleteRun(*set)); });
}

::testing::AssertionResult SystemRig::HoldsCompleteRun(const std::vector<PlacedImage>& images) {
  for (const PlacedImage& image : images)
    if (Region(image) != image.bytes) return ::testing::AssertionFailure() << image.file << " differs";
  const auto stored = board.Bank(0, 4).Contents().first<20>();
  const RomHeader header = RomHeader::Decode(std::span<const std::uint8_t, 20>(stored.data(), 20));
  if (header.checksum() != header.ComputeChecksum() || header.presenceFlags() != 0x7F ||
      header.bufConSize() != images[0].bytes.size() || header.camConSize() != images[1].bytes.size())
    return ::testing::AssertionFailure() << "the header does not describe the run";
  return ::testing::AssertionSuccess();
}

std::vector<std::uint8_t> ProgramBoard(const ScratchDirectory& dir,
                                       const std::vector<PlacedImage>& set) {
  for (const PlacedImage& image : set) dir.Write(image.file, image.bytes);
  SystemRig rig;
  EXPECT_EQ(rig.Run(), RunOutcome::Succeeded);
  EXPECT_TRUE(rig.HoldsCompleteRun(set));
  return rig.board.SaveEepromImage();
}

std::string FailedLog(const std::string& lastProgressLine, const std::string& errorLine) {
  const std::string log(kSuccessfulRunLog);
  return log.substr(0, log.find(lastProgressLine) + lastProgressLine.size()) + errorLine +
         "Camera firmware update FAILED.";
}

}  // namespace vesk::testing
