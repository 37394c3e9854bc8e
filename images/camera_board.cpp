#include "images/camera_board.h"

#include <array>
#include <cstdio>
#include <vector>

#include "device/board_info.h"
#include "device/eeprom_reader.h"
#include "device/stop_request.h"

namespace vesk {
namespace {

constexpr std::size_t kBootHeaderBytes = 8;

std::uint16_t Le16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

}  // namespace

std::optional<BootIdentity> BootImageIdentity(std::span<const std::uint8_t> image) {
  if (image.size() < kBootHeaderBytes || (image[0] != 0xC0 && image[0] != 0xC2))
    return std::nullopt;
  return BootIdentity{Le16(image, 1), Le16(image, 3), Le16(image, 5)};
}

std::string CameraBoardProblem(DeviceHandle& handle, std::span<const std::uint8_t> newFx2Image) {
  for (std::uint8_t chip = 0; chip < kEepromChips; ++chip) {
    int silent = 0;
    std::string firstSilent;
    for (std::uint8_t bank = 0; bank < kBanksPerChip; ++bank) {
      std::uint8_t byte = 0;
      if (ReadEepromPaged(handle, chip, bank, 0, 1, &byte)) continue;
      if (StopRequested()) return "stopped before the board was checked";
      if (silent++ == 0) firstSilent = std::to_string(bank);
    }
    if (silent == kBanksPerChip)
      return "chip " + std::to_string(chip) + " does not answer: not the camera's board";
    if (silent > 0)
      return "chip " + std::to_string(chip) + " bank " + firstSilent +
             " does not answer: not the camera's board";
  }

  std::array<std::uint8_t, kBootHeaderBytes> header{};
  if (!ReadEepromPaged(handle, 0, 0, 0, kBootHeaderBytes, header.data()))
    return "chip 0 bank 0 does not answer: not the camera's board";
  if (header[0] == 0xFF) return {};  // erased: a camera never initialized
  const std::optional<BootIdentity> held = BootImageIdentity(header);
  if (!held) {
    char first[5];
    std::snprintf(first, sizeof first, "0x%02X", header[0]);
    return std::string("chip 0 holds neither the erased state nor a boot image (first byte ") +
           first + "): not the camera's board";
  }
  // An unprogrammed FX2's identity, or the camera's (a board in BoardStateOf).
  if (BoardStateOf(held->vendorId, held->productId, held->deviceId)) return {};
  if (const std::optional<BootIdentity> declared = BootImageIdentity(newFx2Image))
    if (held->vendorId == declared->vendorId && held->productId == declared->productId) return {};
  return "chip 0 holds a boot image for " + IdentityText(held->vendorId, held->productId) + ", not the camera's";
}

}  // namespace vesk
