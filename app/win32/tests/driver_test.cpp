// The SetupAPI camera driver against the test driver under Wine: which interface an open
// reaches, what a buffered request brings back, and the cause noted for each way the
// driver refuses one, and each Windows error as the kind the operator reads.

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/driver_status.h"
#include "device/vendor_request.h"
#include "device/win32/win32_camera_driver.h"
#include "app/win32/tests/board_driver/board_commands.h"
#include "app/win32/tests/expectations.h"

namespace {

using namespace vesk::windows_tests;
using vesk::NativeDeviceHandle;
using vesk::StatusKind;

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
    const vesk::DriverStatus opened = driver.OpenInterface(c.index, handle, path);
    const auto boards = driver.ListBoards();
    if (c.opens) {
      Expect(opened.Ok() && boards.size() == 2 && path == boards[c.index].path &&
                 boards[c.index].vendorId == 0x04B4 && boards[c.index].productId == 0x8613,
             name + ": opens the listed interface, " + path);
      driver.Close(handle);
    } else {
      Expect(handle == vesk::kNullDeviceHandle && opened.kind == StatusKind::NoDevice &&
                 opened.note.find("not present") != std::string::npos,
             name + ": nothing opens; " + opened.Text());
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
  if (!driver.OpenInterface(0, handle, path).Ok()) return Expect(false, "the board opens");
  // 0xA0 to FX2 RAM 0x1000 and back, with the CPU held.
  std::vector<std::uint8_t> hold = {0xA0, 0, 0x00, 0xE6, 0, 0, 1};
  std::uint8_t held = 1;
  std::vector<std::uint8_t> write = {0xA0, 0, 0x00, 0x10, 0, 0, 0x11, 0x22, 0x33};
  std::uint8_t data[3] = {0x11, 0x22, 0x33};
  const std::vector<std::uint8_t> readBack = {0xA0, 1, 0x00, 0x10, 0, 0};
  std::uint8_t read[3] = {};
  Expect(driver.IoControl(handle, vesk::kVendorRequestIoControl, hold, {&held, 1}).Ok() &&
             held == 1 && driver.IoControl(handle, vesk::kVendorRequestIoControl, write, data).Ok() &&
             data[0] == 0x11 && data[2] == 0x33,
         "host to device: the caller's data stays as it was");
  Expect(driver.IoControl(handle, vesk::kVendorRequestIoControl, readBack, read).Ok() &&
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
    StatusKind kind;
    const char* note;
  } cases[] = {
      {"a failing request", "fail 1", vesk::kVendorRequestIoControl, false, StatusKind::Other,
       "DeviceIoControl: error 31"},
      {"a board that does not answer", "silent", vesk::kVendorRequestIoControl, false,
       StatusKind::Timeout, "DeviceIoControl: error 121"},
      {"a removed board", "remove 1", vesk::kVendorRequestIoControl, false, StatusKind::NoDevice,
       "DeviceIoControl: error 1167"},
      {"another I/O control", nullptr, 0xA7F87400u, false, StatusKind::Other,
       "DeviceIoControl: error 1"},
      {"a handle without read access", nullptr, vesk::kVendorRequestIoControl, true,
       StatusKind::AccessDenied, "DeviceIoControl: error 5"},
      {"a malformed header", nullptr, vesk::kVendorRequestIoControl, false, StatusKind::Other,
       "DeviceIoControl: error 87"},
  };
  for (const auto& c : cases) {
    const std::string name = c.name;
    Expect(Attach(1) && (!c.command || BoardCommand(0, c.command)), name + ": board prepared");
    vesk::win32::Win32CameraDriver driver;
    NativeDeviceHandle handle = 0;
    std::string path;
    if (!driver.OpenInterface(0, handle, path).Ok()) {
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
    const std::span<const std::uint8_t> input(hold.data(),
                                              name == "a malformed header" ? 1 : hold.size());
    const vesk::DriverStatus status = driver.IoControl(handle, c.code, input, {&out, 1});
    Expect(status.kind == c.kind && status.note.find(c.note) != std::string::npos,
           name + ": " + status.Text());
    driver.Close(handle);
  }
  // The removed board's interface is gone: the open fails before CreateFileA.
  Expect(Attach(1) && BoardCommand(0, "remove 1"), "a board to remove");
  vesk::win32::Win32CameraDriver driver;
  NativeDeviceHandle handle = 0;
  std::string path;
  std::uint8_t out = 0;
  if (driver.OpenInterface(0, handle, path).Ok()) {
    (void)driver.IoControl(handle, vesk::kVendorRequestIoControl, hold, {&out, 1});
    driver.Close(handle);
  }
  Expect(!driver.OpenInterface(0, handle, path).Ok() && handle == vesk::kNullDeviceHandle,
         "a removed board cannot be opened again");
}

// Each Windows error a driver call can end with, as the kind the operator reads.
void WindowsErrorsMapToTheirKinds() {
  const struct {
    DWORD error;
    const char* text;
  } cases[] = {
      {ERROR_SUCCESS, "failed"},           {ERROR_FILE_NOT_FOUND, "no device"},
      {ERROR_PATH_NOT_FOUND, "no device"}, {ERROR_INVALID_HANDLE, "no device"},
      {ERROR_NOT_READY, "no device"},      {ERROR_BAD_UNIT, "no device"},
      {ERROR_DEV_NOT_EXIST, "no device"},  {ERROR_DEVICE_NOT_CONNECTED, "no device"},
      {ERROR_DEVICE_REMOVED, "no device"}, {ERROR_NO_MORE_ITEMS, "no device"},
      {ERROR_ACCESS_DENIED, "access denied"}, {ERROR_SHARING_VIOLATION, "busy"},
      {ERROR_BUSY, "busy"},                {ERROR_SEM_TIMEOUT, "timeout"},
      {WAIT_TIMEOUT, "timeout"},           {ERROR_TIMEOUT, "timeout"},
      {ERROR_GEN_FAILURE, "failed"},       {ERROR_INVALID_PARAMETER, "failed"},
      {ERROR_INVALID_FUNCTION, "failed"},  {ERROR_NOT_SUPPORTED, "failed"},
  };
  for (const auto& c : cases)
    Expect(vesk::StatusKindText(vesk::win32::StatusKindOfWindowsError(c.error)) == c.text,
           "Windows error " + std::to_string(c.error) + " reads as " + c.text);
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
  WindowsErrorsMapToTheirKinds();
  Attach(1);
  return Summary();
}
