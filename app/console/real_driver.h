#pragma once
// The platform's own back ends for the console, one source file per platform.

#include <memory>
#include <string>
#include <string_view>

#include "device/camera_driver.h"

namespace vesk::console {

// The back end named `board` ("usb" or "driver"), or null when this platform has none by
// that name.
std::unique_ptr<CameraDriver> MakeRealDriver(std::string_view board);

// -vv: the back end's library tells of what it does on standard error (libusb at its
// debug level); nothing where the back end has no such messages. Call before
// MakeRealDriver.
void EnableBackEndDebugOutput();

// What --board means when it is not given.
std::string_view DefaultBoard();

// This computer's name, for the run's report; empty when the system does not say.
std::string HostName();

}  // namespace vesk::console
