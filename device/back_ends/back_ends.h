#pragma once
// The back ends by name, one place for every front end and test program: "emulated"
// (emulated boards running the control firmware, behind the user-space USB driver; every
// build), "usb" (the user-space USB driver over libusb; Linux) and "driver" (the camera's
// kernel driver through SetupAPI and DeviceIoControl; Windows). The build picks this
// platform's file (back_ends_linux.cpp or back_ends_win32.cpp) in the top CMakeLists.txt.

#include <memory>
#include <span>
#include <string_view>

#include "device/camera_driver.h"

namespace vesk::sim::board {
class EmulatedBoard;
}

namespace vesk {

struct BackEndOptions {
  // "emulated": the boards on its bus, "emulated:0" to "emulated:N-1", freshly powered with
  // erased EEPROMs.
  unsigned emulatedBoards = 1;
};

// A driver and whatever it runs on, for as long as the object lives.
class BackEnd {
 public:
  virtual ~BackEnd() = default;
  virtual CameraDriver& Driver() = 0;
  // "emulated": its boards in path order; empty for the real back ends.
  virtual std::span<sim::board::EmulatedBoard* const> EmulatedBoards() { return {}; }
};

// Null when this build has no back end by that name.
std::unique_ptr<BackEnd> MakeBackEnd(std::string_view name, const BackEndOptions& options = {});

// What a front end opens when it is not told: "usb" on Linux, "driver" on Windows.
std::string_view DefaultBackEnd();

// Turns on the platform back end's own debug messages (libusb's, on standard error);
// nothing where the back end has none (the kernel driver's go to the debugger). Call before
// MakeBackEnd.
void EnableBackEndDebugOutput();

namespace detail {
// The platform's file: its real back end by name, or null.
std::unique_ptr<BackEnd> MakePlatformBackEnd(std::string_view name);
}  // namespace detail

}  // namespace vesk
