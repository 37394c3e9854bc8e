#pragma once
// The 20-byte header at chip 0, bank 4, offset 0 that records what was written.

#include <array>
#include <cstdint>
#include <span>

#include "board/generated/reference_board.h"
#include "device/camera_driver.h"

namespace vesk {

inline constexpr std::size_t kRomHeaderSize = 20;
inline constexpr std::uint8_t kRomHeaderChip = board::kRomHeader.chip;
inline constexpr std::uint8_t kRomHeaderBank = board::kRomHeader.bank;
inline constexpr std::uint16_t kRomHeaderOffset = board::kRomHeader.offset;
static_assert(board::kRomHeader.room == kRomHeaderSize);

// Presence flags (byte 4 of the header).
inline constexpr std::uint16_t kHasBufCon = 0x01;
inline constexpr std::uint16_t kHasCamCon = 0x02;
inline constexpr std::uint16_t kHasFx2 = 0x04;
inline constexpr std::uint16_t kHasVendorId = 0x08;
inline constexpr std::uint16_t kHasProductId = 0x10;
inline constexpr std::uint16_t kHasDeviceId = 0x20;
inline constexpr std::uint16_t kHasGpif = 0x40;

using RomHeaderBytes = std::array<std::uint8_t, kRomHeaderSize>;

// Layout: checksum, length 20, version 1, flags (BE16), BufCon size (BE32), CamCon size
// (BE32), vendor id (LE16), PID (LE16), DID (LE16), reserved 0. The checksum is the 8-bit
// sum of bytes 1 to 19. Every operation that changes a field keeps the checksum current.
class RomHeader {
 public:
  RomHeader() = default;
  virtual ~RomHeader() = default;

  void InitRomHeader();
  void SetBufConSize(std::uint32_t size);
  void SetCamConSize(std::uint32_t size);
  void SetFx2Present();
  void SetVendorId(std::uint16_t id);
  void SetProductId(std::uint16_t id);
  void SetDeviceId(std::uint16_t id);
  void SetGpifPresent();
  std::uint8_t ComputeChecksum() const;
  void UpdateChecksum();

  // One paged write of the 20 bytes at chip 0, bank 4, offset 0, with the stored checksum.
  bool WriteRomHeader(DeviceHandle& handle) const;
  // Writes the erased state (20 bytes of 0xFF, whose checksum never holds) over the
  // header, so that a run that stops part-way leaves no header describing other images.
  static bool EraseRomHeader(DeviceHandle& handle);

  RomHeaderBytes Encode() const;
  // Reads a header back as stored, checksum included (whether it matches or not).
  static RomHeader Decode(std::span<const std::uint8_t, kRomHeaderSize> bytes);

  std::uint8_t checksum() const { return checksum_; }
  std::uint8_t headerLength() const { return headerLength_; }
  std::uint8_t version() const { return version_; }
  std::uint16_t presenceFlags() const { return presenceFlags_; }
  std::uint32_t bufConSize() const { return bufConSize_; }
  std::uint32_t camConSize() const { return camConSize_; }
  std::uint16_t vendorId() const { return vendorId_; }
  std::uint16_t productId() const { return productId_; }
  std::uint16_t deviceId() const { return deviceId_; }
  std::uint8_t reserved() const { return reserved_; }

 private:
  std::uint8_t checksum_ = 0;
  std::uint8_t headerLength_ = 0;
  std::uint8_t version_ = 0;
  std::uint16_t presenceFlags_ = 0;
  std::uint32_t bufConSize_ = 0;
  std::uint32_t camConSize_ = 0;
  std::uint16_t vendorId_ = 0;
  std::uint16_t productId_ = 0;
  std::uint16_t deviceId_ = 0;
  std::uint8_t reserved_ = 0;
};

// The header a run writes after images of these sizes: every image present, the camera's
// identity.
RomHeader HeaderForRun(std::uint32_t bufConSize, std::uint32_t camConSize);

}  // namespace vesk
