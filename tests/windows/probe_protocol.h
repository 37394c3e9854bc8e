#pragma once
// What the dialog test and its hook agree on: three registered messages sent to the
// dialog, each with the test's reply window in lParam. The rectangle query carries the
// rectangle (left, top, right, bottom in dialog units, 16 bits each) in wParam.

#include <windows.h>

#include <cstdint>

namespace vesk::probe {

inline constexpr const char* kMenuQuery = "VeskProbeSystemMenu";
inline constexpr const char* kRectQuery = "VeskProbeMapDialogRect";
inline constexpr const char* kIconQuery = "VeskProbeIcons";

inline std::uint64_t PackRect(int left, int top, int right, int bottom) {
  return std::uint64_t(std::uint16_t(left)) | std::uint64_t(std::uint16_t(top)) << 16 |
         std::uint64_t(std::uint16_t(right)) << 32 | std::uint64_t(std::uint16_t(bottom)) << 48;
}

inline RECT UnpackRect(std::uint64_t packed) {
  return RECT{LONG(std::uint16_t(packed)), LONG(std::uint16_t(packed >> 16)),
              LONG(std::uint16_t(packed >> 32)), LONG(std::uint16_t(packed >> 48))};
}

}  // namespace vesk::probe
