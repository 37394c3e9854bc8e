#pragma once
// The camera's kernel driver on Windows: the device interface is found through SetupAPI,
// opened with CreateFileA and spoken to with DeviceIoControl.

#include <windows.h>

#include "device/camera_driver.h"
#include "device/driver_status.h"

namespace vesk::win32 {

// The interface class the camera's driver registers for each attached camera.
inline constexpr GUID kCameraInterfaceClass = {
    0x09E3D9A1, 0x8E70, 0x496C, {0xBC, 0x1D, 0xFC, 0x8A, 0x43, 0xCE, 0xF6, 0xB5}};

// What a Windows error code (GetLastError) says, in the kinds of failure every back end
// reports: no device, access denied, busy, timeout, or other (ERROR_SUCCESS included: a
// call that failed without a code still failed).
StatusKind StatusKindOfWindowsError(DWORD error);

// Every failure below is returned as a status: the kind, and in its note the failing call
// with the Windows error code and its text ("DeviceIoControl: error 31 (...)").
class Win32CameraDriver final : public CameraDriver {
 public:
  // Loads "setupapi" by name for the length of this call only and frees it before
  // returning, on every path. Fails, with `handle` null, when the module or one of its
  // functions is missing, the class has no present interface `memberIndex`, or its
  // detail cannot be read; fails with `handle` invalid when CreateFileA refuses the path.
  // The device is opened for reading and writing, shared, without overlapped I/O.
  DriverStatus OpenInterface(std::uint16_t memberIndex, NativeDeviceHandle& handle,
                             std::string& devicePath) override;
  // DeviceIoControl, synchronous. Fails also for spans longer than a DWORD can count.
  DriverStatus IoControl(NativeDeviceHandle handle, std::uint32_t controlCode,
                         std::span<const std::uint8_t> input,
                         std::span<std::uint8_t> output) override;
  // CloseHandle; its result is not looked at.
  void Close(NativeDeviceHandle handle) override;
  // The class's present interfaces by index and path, with the identity the path names
  // ("vid_125c&pid_0010"); opens none of them.
  std::vector<BoardInfo> ListBoards() override;
};

// Sends the core's debugger output to OutputDebugStringA.
void InstallDebuggerOutput();

}  // namespace vesk::win32
