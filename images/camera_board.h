#pragma once
// Is the board the control firmware runs on the camera's? Asked after the firmware runs
// and before anything is written, so that a bare FX2 of another product (a development
// kit, a logic analyzer without its EEPROM) is never written by mistake.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "device/camera_driver.h"

namespace vesk {

// The USB identity a boot image declares: bytes 1 to 6 of its C0/C2 header, little-endian.
struct BootIdentity {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t deviceId = 0;
};

// The identity of a C0 or C2 image; nullopt when `image` is neither or is shorter than
// the 8-byte header.
std::optional<BootIdentity> BootImageIdentity(std::span<const std::uint8_t> image);

// Empty when the board is the camera's: every bank of both EEPROM chips answers a one-byte
// read (request 0xC6), and chip 0 bank 0 is erased or holds a boot image for 04B4:8613,
// 125C:0010 or the identity that `newFx2Image` declares. Otherwise what was found, e.g.
// "chip 1 does not answer: not the camera's board" or "chip 0 holds a boot image for
// 0925:3881, not the camera's". Reads only; writes nothing.
std::string CameraBoardProblem(DeviceHandle& handle, std::span<const std::uint8_t> newFx2Image);

}  // namespace vesk
