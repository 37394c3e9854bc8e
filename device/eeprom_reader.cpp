#include "device/eeprom_reader.h"

#include <algorithm>

#include "device/failure_detail.h"
#include "device/vendor_request.h"

namespace vesk {

bool ReadEepromPaged(DeviceHandle& handle, std::uint8_t chip, std::uint8_t bank,
                     std::uint16_t offset, std::uint32_t length, std::uint8_t* data,
                     const BeatObserver& onBeat) {
  if (offset >= kBankSize) {
    SetFailureDetail("EEPROM read from offset " + std::to_string(offset) + ", past its bank");
    return false;
  }
  std::uint32_t at = offset;
  std::uint32_t done = 0;
  while (done < length) {
    const std::uint32_t count = std::min({length - done, kBeatBytes, kBankSize - at});
    if (!ReadEepromBlock(handle, chip, bank, static_cast<std::uint16_t>(at), count, data + done))
      return false;
    done += count;
    at += count;
    if (onBeat) onBeat(done);
    if (at == kBankSize) {
      at = 0;
      if (++bank == kBanksPerChip) {
        bank = 0;
        ++chip;
      }
    }
  }
  return true;
}

std::vector<std::uint8_t> ReadWholeEeprom(DeviceHandle& handle, const BeatObserver& onBeat) {
  std::vector<std::uint8_t> image(kEepromImageSize);
  if (!ReadEepromPaged(handle, 0, 0, 0, kEepromImageSize, image.data(), onBeat)) return {};
  return image;
}

}  // namespace vesk
