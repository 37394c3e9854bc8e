#pragma once
// Loading the control firmware into the FX2's RAM with its built-in request 0xA0.

#include <cstdint>

#include "device/camera_driver.h"

namespace vesk {

inline constexpr std::uint16_t kFx2Cpucs = 0xE600;
inline constexpr std::size_t kHexRecordMaxData = 16;
inline constexpr std::uint8_t kHexRecordData = 0;
inline constexpr std::uint8_t kHexRecordEnd = 1;

// One Intel HEX record without its checksum. Type 0 is data; any other type ends a table.
struct HexRecord {
  std::uint8_t length;
  std::uint16_t address;
  std::uint8_t type;
  std::uint8_t data[kHexRecordMaxData];
};

// 0xA0 to CPUCS with one byte: 1 holds the 8051 in reset, 0 lets it run from 0x0000.
bool SetFx2CpuReset(DeviceHandle& handle, std::uint8_t hold);

// Writes every data record from `first` on, in table order, up to the first record of
// non-zero type. False at the first refused request, for a table that ends before any
// data record, and for a record claiming more than 16 bytes (nothing of it is sent).
bool LoadHexRecords(DeviceHandle& handle, HexRecord* first);

// Hold, load the table, release. False when the hold or a record fails (the CPU is then
// left held); the release's own result is not looked at.
bool DownloadControlFirmware(DeviceHandle& handle, HexRecord* table);

}  // namespace vesk
