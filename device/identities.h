#pragma once
// The two USB identities a board answers to: the FX2's own until its EEPROM holds a ROM
// header, then the camera's, which a run writes into that header. The control firmware
// answers to the camera's vendor and product with the device id as its release number.

#include <cstdint>

#include "board/generated/reference_board.h"

namespace vesk {

struct BoardIdentity {
  std::uint16_t vendorId;
  std::uint16_t productId;
};

inline constexpr BoardIdentity kBareFx2Identity{board::kBareFx2VendorId,
                                               board::kBareFx2ProductId};
inline constexpr BoardIdentity kCameraIdentity{board::kCameraVendorId, board::kCameraProductId};

// The camera's identity as the ROM header carries it.
inline constexpr std::uint16_t kVendorId = board::kCameraVendorId;
inline constexpr std::uint16_t kProductId = board::kCameraProductId;
inline constexpr std::uint16_t kDeviceId = board::kCameraDeviceId;

}  // namespace vesk
