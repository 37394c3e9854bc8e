#pragma once
// The reference board's wiring as the emulator builds it, from the board's one table
// (board/reference_board.tsv, which the firmware's board.h reads too), in the emulator's types.

#include <cstddef>
#include <cstdint>

#include "board/generated/reference_board.h"
#include "sim/peripheral.h"

namespace vesk::sim::board {

// One I2C bus from the FX2's master to a 2-channel multiplexer.
using vesk::board::kMuxAddress;
using vesk::board::kMuxChannels;
using vesk::board::kMuxSelectChannel0;
using vesk::board::kMuxSelectChannel1;
inline constexpr std::uint8_t kMuxPowerUpControl = kMuxSelectChannel0;  // boot EEPROM reachable

// EEPROM chip c sits on channel c; bank b of a chip answers at kBankAddress0 + b.
inline constexpr int kChips = vesk::board::kEepromChips;
inline constexpr int kBanksPerChip = vesk::board::kEepromBanks;
inline constexpr std::uint8_t kBankAddress0 = vesk::board::kEepromFirstAddress;
inline constexpr std::size_t kBankSize = vesk::board::kEepromBankSize;
inline constexpr std::size_t kPageSize = vesk::board::kEepromPageSize;
inline constexpr SimTime kWriteCycle = vesk::board::kEepromWriteCycleMs * kPicosPerMilli;
inline constexpr std::uint8_t kErased = 0xFF;
inline constexpr std::size_t kEepromImageSize = kChips * kBanksPerChip * kBankSize;  // 393,216

// The FX2 looks for its boot EEPROM at 0x50 (one address byte) and 0x51 (two) on
// whatever channel the multiplexer comes up on.
inline constexpr std::uint8_t kBootEepromSmall = 0x50;
inline constexpr std::uint8_t kBootEepromLarge = 0x51;

// The "ready" LED: port A bit 0, lit while driven high.
inline constexpr std::uint8_t kLedPortBit = 0x01;

}  // namespace vesk::sim::board
