#pragma once
// The SetupAPI records the open fills in, with the sizes the platform checks. SetupAPI
// compares each record's size field with its own definition for the program's bitness:
// 28 and 5 in a 32-bit program, 32 and 8 in a 64-bit one. A program that hard-codes the
// 32-bit values can never open a camera when it is built for 64 bits.

#include <windows.h>
// windows.h first: setupapi.h needs its types.
#include <setupapi.h>

#include <cstddef>

namespace vesk::win32 {

inline constexpr DWORD kInterfaceDataRecordSize = sizeof(SP_DEVICE_INTERFACE_DATA);
// The fixed part of the detail record, without the path that follows it.
inline constexpr DWORD kInterfaceDetailRecordSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
inline constexpr std::size_t kDevicePathOffset =
    offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

static_assert(kInterfaceDataRecordSize == (sizeof(void*) == 8 ? 32 : 28));
static_assert(kInterfaceDetailRecordSize == (sizeof(void*) == 8 ? 8 : 5));
static_assert(kDevicePathOffset == sizeof(DWORD));

}  // namespace vesk::win32
