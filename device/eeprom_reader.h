#pragma once
// Reading the EEPROMs back through the control firmware (request 0xC6, device to host).

#include <cstdint>
#include <vector>

#include "device/camera_driver.h"
#include "device/eeprom_writer.h"

namespace vesk {

inline constexpr std::uint8_t kEepromChips = board::kEepromChips;
// The whole EEPROM as one image: chip 0 banks 0-5, then chip 1 banks 0-5.
inline constexpr std::uint32_t kEepromImageSize = kEepromChips * kBanksPerChip * kBankSize;

// Where (chip, bank, offset) lies in such an image.
constexpr std::uint32_t EepromImageOffset(std::uint8_t chip, std::uint8_t bank,
                                          std::uint32_t offset) {
  return (std::uint32_t{chip} * kBanksPerChip + bank) * kBankSize + offset;
}

// Reads `length` bytes from (chip, bank, offset) on into `data`, in requests of at most
// 4096 bytes that never cross a bank; the address carries from bank to bank and chip to
// chip. False after the first failing request (the thread's FailureDetail names it);
// `data` is then partly filled. A start offset of 0x8000 or more sends nothing and fails.
bool ReadEepromPaged(DeviceHandle& handle, std::uint8_t chip, std::uint8_t bank,
                     std::uint16_t offset, std::uint32_t length, std::uint8_t* data,
                     const BeatObserver& onBeat = {});

// The whole EEPROM (kEepromImageSize bytes). Empty when any request failed.
std::vector<std::uint8_t> ReadWholeEeprom(DeviceHandle& handle, const BeatObserver& onBeat = {});

}  // namespace vesk
