#pragma once
// The reference board's wiring as the emulator builds it. The firmware's firmware/board.h
// describes the same board; a different board means changing both files.

#include <cstddef>
#include <cstdint>

#include "sim/peripheral.h"

namespace vesk::sim::board {

// One I2C bus from the FX2's master to a 2-channel multiplexer.
inline constexpr std::uint8_t kMuxAddress = 0x70;
inline constexpr std::uint8_t kMuxSelectChannel0 = 0x04;
inline constexpr std::uint8_t kMuxSelectChannel1 = 0x05;
inline constexpr std::uint8_t kMuxPowerUpControl = kMuxSelectChannel0;  // boot EEPROM reachable
inline constexpr int kMuxChannels = 2;

// EEPROM chip c sits on channel c; bank b of a chip answers at kBankAddress0 + b.
inline constexpr int kChips = 2;
inline constexpr int kBanksPerChip = 6;
inline constexpr std::uint8_t kBankAddress0 = 0x51;
inline constexpr std::size_t kBankSize = 32 * 1024;
inline constexpr std::size_t kPageSize = 64;
inline constexpr SimTime kWriteCycle = 5 * kPicosPerMilli;
inline constexpr std::uint8_t kErased = 0xFF;
inline constexpr std::size_t kEepromImageSize = kChips * kBanksPerChip * kBankSize;  // 393,216

// The FX2 looks for its boot EEPROM at 0x50 (one address byte) and 0x51 (two) on
// whatever channel the multiplexer comes up on.
inline constexpr std::uint8_t kBootEepromSmall = 0x50;
inline constexpr std::uint8_t kBootEepromLarge = 0x51;

// The "ready" LED: port A bit 0, lit while driven high.
inline constexpr std::uint8_t kLedPortBit = 0x01;

}  // namespace vesk::sim::board
