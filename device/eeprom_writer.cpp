#include "device/eeprom_writer.h"

#include "device/debug_output.h"
#include "device/vendor_request.h"

namespace vesk {
namespace {

struct Cursor {
  std::uint8_t chip;
  std::uint8_t bank;
  std::uint32_t offset;

  void CarryIntoNextBank() {
    if (offset < kBankSize) return;
    offset = 0;
    if (++bank == kBanksPerChip) {
      bank = 0;
      ++chip;
    }
  }
};

}  // namespace

bool WriteEepromPaged(DeviceHandle& handle, std::uint8_t chip, std::uint8_t bank,
                      std::uint16_t offset, std::uint32_t length, const std::uint8_t* data,
                      const BeatObserver& onBeat) {
  if (length == 0) return true;
  if (offset >= kBankSize) return false;

  Cursor at{chip, bank, offset};
  std::uint32_t done = 0;
  auto send = [&](std::uint32_t bytes) {
    if (!WriteEepromBlock(handle, at.chip, at.bank, static_cast<std::uint16_t>(at.offset), bytes,
                          data + done))
      return false;
    done += bytes;
    at.offset += bytes;
    if (onBeat) onBeat(done);
    return true;
  };

  const std::uint32_t intoBeat = at.offset % kBeatBytes;
  if (intoBeat != 0 && intoBeat + length > kBeatBytes) {
    if (!send(kBeatBytes - intoBeat)) {
      DebugOutput("ERROR: Failed 1st beat EEPROM write call.");
      return false;
    }
    at.CarryIntoNextBank();
  }
  while (length - done > kBeatBytes) {
    if (!send(kBeatBytes)) {
      DebugOutput("ERROR:  Failed mid-beat EEPROM write call.");
      return false;
    }
    at.CarryIntoNextBank();
  }
  if (!send(length - done)) {
    DebugOutput("ERROR:  Failed last EEPROM write call.");
    return false;
  }
  return true;
}

}  // namespace vesk
