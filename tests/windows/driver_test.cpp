// The SetupAPI camera driver against the test driver under Wine: which interface an open
// reaches, what a buffered request brings back, and the cause noted for each way the
// driver refuses one.

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/failure_detail.h"
#include "device/vendor_request.h"
#include "device/win32/win32_camera_driver.h"
#include "tests/windows/board_driver/board_commands.h"
#include "tests/windows/expectations.h"

namespace {

using namespace vesk::windows_tests;
using vesk::NativeDeviceHandle;
using vesk::UsbFailure;

bool Attach(unsigned boards) {
  bool ok = true;
  for (unsigned board = 0; board < 2; ++board)
    ok = BoardCommand(board, "load") && (board < boards || BoardCommand(board, "unplug")) && ok;
  return ok;
}

// Interface N of those attached opens, with the path the list gives; one past the last,
// or any with no board attached, leaves the handle null and notes that none is present.
void OpensReachTheAttachedInterfaces() {
  const struct {
    const char* name;
    unsigned attached;
    std::uint16_t index;
    bool opens;
  } cases[] = {
      {"no board", 0, 0, false},
      {"interface 0 of 2", 2, 0, true},
      {"interface 1 of 2", 2, 1, true},
      {"interface 2 of 2", 2, 2, false},
  };
  for (const auto& c : cases) {
    const std::string name = c.name;
    Expect(Attach(c.attached), name + ": boards attached");
    vesk::win32::Win32CameraDriver driver;
    NativeDeviceHandle handle = 77;
    std::string path;
    vesk::NoteUsbFailure(UsbFailure::None);
    const bool opened = driver.OpenInterface(c.index, handle, path);
    const auto boards = driver.ListBoards();
    if (c.opens) {
      Expect(opened && boards.size() == 2 && path == boards[c.index].path &&
                 boards[c.index].vendorId == 0x04B4 && boards[c.index].productId == 0x8613,
             name + ": opens the listed interface, " + path);
      driver.Close(handle);
    } else {
      Expect(!opened && handle == vesk::kNullDeviceHandle &&
                 vesk::LastUsbFailure() == UsbFailure::NoDevice &&
                 vesk::LastUsbFailureNote().find("not present") != std::string::npos,
             name + ": nothing opens; " + vesk::LastUsbFailureNote());
    }
  }
}

// Buffered I/O as the driver sees it: a host-to-device request's output buffer (the
// caller's data) comes back untouched, a device-to-host one returns the bytes asked for.
void BufferedRequestsKeepTheCallersData() {
  Expect(Attach(1), "one board attached");
  vesk::win32::Win32CameraDriver driver;
  NativeDeviceHandle handle = 0;
  std::string path;
  if (!driver.OpenInterface(0, handle, path)) return Expect(false, "the board opens");
  // 0xA0 to FX2 RAM 0x1000 and back, with the CPU held.
  std::vector<std::uint8_t> hold = {0xA0, 0, 0x00, 0xE6, 0, 0, 1};
  std::uint8_t held = 1;
  std::vector<std::uint8_t> write = {0xA0, 0, 0x00, 0x10, 0, 0, 0x11, 0x22, 0x33};
  std::uint8_t data[3] = {0x11, 0x22, 0x33};
  const std::vector<std::uint8_t> readBack = {0xA0, 1, 0x00, 0x10, 0, 0};
  std::uint8_t read[3] = {};
  Expect(driver.IoControl(handle, vesk::kVendorRequestIoControl, hold, {&held, 1}) && held == 1 &&
             driver.IoControl(handle, vesk::kVendorRequestIoControl, write, data) &&
             data[0] == 0x11 && data[2] == 0x33,
         "host to device: the caller's data stays as it was");
  Expect(driver.IoControl(handle, vesk::kVendorRequestIoControl, readBack, read) &&
             std::memcmp(read, data, 3) == 0,
         "device to host: the bytes come back");
  driver.Close(handle);
}

// Each way the driver refuses a request, and the cause the back end notes for it.
void CausesNameTheDriversStatus() {
  const std::vector<std::uint8_t> hold = {0xA0, 0, 0x00, 0xE6, 0, 0, 1};
  const struct {
    const char* name;
    const char* command;    // to the board before the request; null: none
    std::uint32_t code;
    bool noAccess;          // the handle is opened with access 0
    UsbFailure failure;
    const char* note;
  } cases[] = {
      {"a failing request", "fail 1", vesk::kVendorRequestIoControl, false, UsbFailure::Other,
       "DeviceIoControl: error 31"},
      {"a board that does not answer", "silent", vesk::kVendorRequestIoControl, false,
       UsbFailure::Timeout, "DeviceIoControl: error 121"},
      {"a removed board", "remove 1", vesk::kVendorRequestIoControl, false, UsbFailure::NoDevice,
       "DeviceIoControl: error 1167"},
      {"another I/O control", nullptr, 0xA7F87400u, false, UsbFailure::Other,
       "DeviceIoControl: error 1"},
      {"a handle without read access", nullptr, vesk::kVendorRequestIoControl, true,
       UsbFailure::AccessDenied, "DeviceIoControl: error 5"},
      {"a malformed header", nullptr, vesk::kVendorRequestIoControl, false, UsbFailure::Other,
       "DeviceIoControl: error 87"},
  };
  for (const auto& c : cases) {
    const std::string name = c.name;
    Expect(Attach(1) && (!c.command || BoardCommand(0, c.command)), name + ": board prepared");
    vesk::win32::Win32CameraDriver driver;
    NativeDeviceHandle handle = 0;
    std::string path;
    if (!driver.OpenInterface(0, handle, path)) {
      Expect(false, name + ": the board opens");
      continue;
    }
    if (c.noAccess) {
      driver.Close(handle);
      handle = reinterpret_cast<NativeDeviceHandle>(
          CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                      0, nullptr));
    }
    std::uint8_t out = 0;
    vesk::NoteUsbFailure(UsbFailure::None);
    const std::span<const std::uint8_t> input(hold.data(),
                                              name == "a malformed header" ? 1 : hold.size());
    Expect(!driver.IoControl(handle, c.code, input, {&out, 1}) &&
               vesk::LastUsbFailure() == c.failure &&
               vesk::LastUsbFailureNote().find(c.note) != std::string::npos,
           name + ": " + std::string(vesk::UsbFailureText(vesk::LastUsbFailure())) + ", " +
               vesk::LastUsbFailureNote());
    driver.Close(handle);
  }
  // The removed board's interface is gone: the open fails before CreateFileA.
  Expect(Attach(1) && BoardCommand(0, "remove 1"), "a board to remove");
  vesk::win32::Win32CameraDriver driver;
  NativeDeviceHandle handle = 0;
  std::string path;
  std::uint8_t out = 0;
  if (driver.OpenInterface(0, handle, path)) {
    driver.IoControl(handle, vesk::kVendorRequestIoControl, hold, {&out, 1});
    driver.Close(handle);
  }
  Expect(!driver.OpenInterface(0, handle, path) && handle == vesk::kNullDeviceHandle,
         "a removed board cannot be opened again");
}

}  // namespace

int main() {
  if (BoardCommandPaths().size() != 2) {
    std::printf("FAILED: the test driver's two boards are not installed\n");
    return 1;
  }
  OpensReachTheAttachedInterfaces();
  BufferedRequestsKeepTheCallersData();
  CausesNameTheDriversStatus();
  Attach(1);
  return Summary();
}
