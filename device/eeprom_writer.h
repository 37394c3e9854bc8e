#pragma once
// EEPROM writes of any length, in 4096-byte beats, with the address carried from bank to
// bank and chip to chip.

#include <cstdint>
#include <functional>

#include "board/generated/reference_board.h"
#include "device/camera_driver.h"

namespace vesk {

inline constexpr std::uint32_t kBeatBytes = 4096;
inline constexpr std::uint32_t kBankSize = board::kEepromBankSize;
inline constexpr std::uint8_t kBanksPerChip = board::kEepromBanks;

// Told after each beat that was accepted: bytes of this write done so far.
using BeatObserver = std::function<void(std::uint32_t bytesWritten)>;

// Writes `length` bytes of `data` from (chip, bank, offset) on. Returns true when every
// beat was written (length 0 sends nothing), false after the first failing beat, which
// is named on the debugger output. Start offsets of 0x8000 and above are refused without
// a request; an unaligned start offset is first brought to the next 4096 boundary.
bool WriteEepromPaged(DeviceHandle& handle, std::uint8_t chip, std::uint8_t bank,
                      std::uint16_t offset, std::uint32_t length, const std::uint8_t* data,
                      const BeatObserver& onBeat = {});

}  // namespace vesk
