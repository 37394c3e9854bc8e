#pragma once
// The one seam between the portable core and the platform: the camera's driver as the
// core sees it. Back ends: device/win32 (the camera's kernel driver through SetupAPI and
// DeviceIoControl) and device/usb (the same I/O control served in user space).

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "device/board_info.h"
#include "device/driver_status.h"

namespace vesk {

// A platform handle as an integer wide enough for a pointer. Two values mean "not open":
// null (0) and the platform's invalid-handle value (-1, as INVALID_HANDLE_VALUE).
using NativeDeviceHandle = std::intptr_t;
inline constexpr NativeDeviceHandle kNullDeviceHandle = 0;
inline constexpr NativeDeviceHandle kInvalidDeviceHandle = -1;

class CameraDriver {
 public:
  virtual ~CameraDriver() = default;

  // Both operations return what they came to (device/driver_status.h): Ok, or the kind
  // of failure with what only the back end knows in its note.

  // Opens the memberIndex-th present interface of the camera's interface class.
  // Blocks on device enumeration and on the open itself; never on the board's CPU.
  // On return `handle` holds null when no open was attempted (no such interface, the
  // enumeration failed) or whatever the platform's open returned, the invalid value
  // included. Ok only when `handle` is open and `devicePath` holds the interface's
  // path (without terminating zero). On failure `devicePath` is unspecified.
  virtual DriverStatus OpenInterface(std::uint16_t memberIndex, NativeDeviceHandle& handle,
                                     std::string& devicePath) = 0;

  // One synchronous I/O control: `input` goes to the driver, up to `output.size()` bytes
  // may come back into `output`. Blocks until the driver has completed the request (for
  // a 0xC6 EEPROM beat that is the board's whole write, tens of milliseconds). Fails
  // when the handle is not open, the code is unknown or the device refused or failed the
  // request; `output` is then unspecified. Never reads or writes outside the two spans.
  virtual DriverStatus IoControl(NativeDeviceHandle handle, std::uint32_t controlCode,
                                 std::span<const std::uint8_t> input,
                                 std::span<std::uint8_t> output) = 0;

  // Releases an open handle. Does not block on the board. A failing close is not
  // reported; the handle is gone afterwards in every case.
  virtual void Close(NativeDeviceHandle handle) = 0;

  // The boards attached now, in member order: entry N is what OpenInterface(N) opens,
  // unless boards came or went in between (its path tells). Opens none of them. Empty
  // where the back end cannot tell.
  virtual std::vector<BoardInfo> ListBoards() { return {}; }

  // Blocks until a board may have been attached or removed, or `limit` has passed; the
  // caller then lists again. Back ends that are told of arrivals return on one; the
  // others return after a short poll interval.
  virtual void WaitForBoardChange(std::chrono::milliseconds limit);
};

// How often boards are listed again where the platform does not report arrivals.
inline constexpr std::chrono::milliseconds kBoardPollInterval{250};

// The caller's connection: the native handle, read afresh at every request, and the
// driver it belongs to. Every device operation takes it by reference.
struct DeviceHandle {
  NativeDeviceHandle value = kNullDeviceHandle;
  CameraDriver* driver = nullptr;

  bool IsOpen() const {
    return driver != nullptr && value != kNullDeviceHandle && value != kInvalidDeviceHandle;
  }
};

// Opens the board whose path is `path` through `driver`, at whatever member index it sits
// now. No such board listed, or the list changed between the look and the open and another
// board answered (it has been closed again): NoDevice, "the chosen board PATH is no longer
// attached". A failed open: the driver's status. On failure `handle` is null or whatever
// the failed open left.
DriverStatus OpenBoardByPath(CameraDriver& driver, const std::string& path,
                             NativeDeviceHandle& handle, std::string& devicePath);

}  // namespace vesk
