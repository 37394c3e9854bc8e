#include "device/win32/win32_camera_driver.h"

#include <cctype>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "device/debug_output.h"
#include "device/win32/setupapi_records.h"

namespace vesk::win32 {
namespace {

using GetClassDevsFn = decltype(&SetupDiGetClassDevsA);
using EnumDeviceInterfacesFn = decltype(&SetupDiEnumDeviceInterfaces);
using GetInterfaceDetailFn = decltype(&SetupDiGetDeviceInterfaceDetailA);
using DestroyDeviceInfoListFn = decltype(&SetupDiDestroyDeviceInfoList);

struct ModuleRelease {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleRelease>;

// Destroys the device information set through the same loaded module, so it must be
// released before the module is.
class UniqueDeviceInfoSet {
 public:
  UniqueDeviceInfoSet(HDEVINFO set, DestroyDeviceInfoListFn destroy)
      : set_(set), destroy_(destroy) {}
  UniqueDeviceInfoSet(const UniqueDeviceInfoSet&) = delete;
  UniqueDeviceInfoSet& operator=(const UniqueDeviceInfoSet&) = delete;
  ~UniqueDeviceInfoSet() {
    if (set_ != INVALID_HANDLE_VALUE) destroy_(set_);
  }
  HDEVINFO get() const { return set_; }
  bool valid() const { return set_ != INVALID_HANDLE_VALUE; }

 private:
  HDEVINFO set_;
  DestroyDeviceInfoListFn destroy_;
};

struct DetailRecordRelease {
  void operator()(SP_DEVICE_INTERFACE_DETAIL_DATA_A* record) const {
    ::operator delete(record, std::nothrow);
  }
};
using UniqueDetailRecord = std::unique_ptr<SP_DEVICE_INTERFACE_DETAIL_DATA_A, DetailRecordRelease>;

template <typename Function>
Function Lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

HANDLE ToNative(NativeDeviceHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// The failure of `call` with `error` (its GetLastError), noted with the system's text for it.
DriverStatus WindowsFailure(std::string_view call, DWORD error) {
  std::string note = std::string(call) + ": error " + std::to_string(error);
  char text[256] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                     text, sizeof text, nullptr);
  std::string_view message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.remove_suffix(1);
  if (!message.empty()) note += " (" + std::string(message) + ")";
  return Failure(StatusKindOfWindowsError(error), std::move(note));
}

}  // namespace

StatusKind StatusKindOfWindowsError(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return StatusKind::Other;  // a failure that set no code is still a failure
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_HANDLE:
    case ERROR_NOT_READY:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_NO_MORE_ITEMS:
      return StatusKind::NoDevice;
    case ERROR_ACCESS_DENIED:
      return StatusKind::AccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return StatusKind::Busy;
    case ERROR_SEM_TIMEOUT:
    case WAIT_TIMEOUT:
    case ERROR_TIMEOUT:
      return StatusKind::Timeout;
    default:
      return StatusKind::Other;
  }
}

namespace {

// SetupAPI, loaded by name for the length of one call and freed on every path.
class SetupApi {
 public:
  SetupApi() : module_(LoadLibraryA("setupapi")) {
    if (!module_) return;
    getClassDevs_ = Lookup<GetClassDevsFn>(module_.get(), "SetupDiGetClassDevsA");
    enumInterfaces_ = Lookup<EnumDeviceInterfacesFn>(module_.get(), "SetupDiEnumDeviceInterfaces");
    getDetail_ = Lookup<GetInterfaceDetailFn>(module_.get(), "SetupDiGetDeviceInterfaceDetailA");
    destroyList_ = Lookup<DestroyDeviceInfoListFn>(module_.get(), "SetupDiDestroyDeviceInfoList");
  }
  bool Usable() const { return getClassDevs_ && enumInterfaces_ && getDetail_ && destroyList_; }

  UniqueDeviceInfoSet PresentInterfaces() const {
    return UniqueDeviceInfoSet(getClassDevs_(&kCameraInterfaceClass, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
                               destroyList_);
  }

  // The path of interface `memberIndex` of the set; false when there is none or its
  // detail cannot be read.
  bool InterfacePath(const UniqueDeviceInfoSet& devices, DWORD memberIndex,
                     std::string& path) const {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = kInterfaceDataRecordSize;
    if (!enumInterfaces_(devices.get(), nullptr, &kCameraInterfaceClass, memberIndex,
                         &interfaceData))
      return false;

    DWORD requiredSize = 0;
    getDetail_(devices.get(), &interfaceData, nullptr, 0, &requiredSize, nullptr);
    if (requiredSize <= kDevicePathOffset) return false;

    UniqueDetailRecord detail(static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(
        ::operator new(requiredSize, std::nothrow)));
    if (!detail) return false;
    detail->cbSize = kInterfaceDetailRecordSize;
    if (!getDetail_(devices.get(), &interfaceData, detail.get(), requiredSize, &requiredSize,
                    nullptr))
      return false;
    // The path ends with a zero inside the record; never read past the record.
    const std::size_t pathCapacity = requiredSize - kDevicePathOffset;
    path.assign(detail->DevicePath, strnlen(detail->DevicePath, pathCapacity));
    return true;
  }

 private:
  UniqueModule module_;
  GetClassDevsFn getClassDevs_ = nullptr;
  EnumDeviceInterfacesFn enumInterfaces_ = nullptr;
  GetInterfaceDetailFn getDetail_ = nullptr;
  DestroyDeviceInfoListFn destroyList_ = nullptr;
};

// The four hex digits after `key` ("vid_", "pid_") in an interface path, any case.
std::uint16_t HexAfter(const std::string& path, std::string_view key) {
  std::string lower(path);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::size_t at = lower.find(key);
  if (at == std::string::npos || at + key.size() + 4 > lower.size()) return 0;
  unsigned value = 0;
  for (std::size_t i = at + key.size(); i < at + key.size() + 4; ++i) {
    const char c = lower[i];
    if (!std::isxdigit(static_cast<unsigned char>(c))) return 0;
    value = value * 16 + unsigned(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace

DriverStatus Win32CameraDriver::OpenInterface(std::uint16_t memberIndex,
                                              NativeDeviceHandle& handle,
                                              std::string& devicePath) {
  handle = kNullDeviceHandle;
  const SetupApi setupApi;
  if (!setupApi.Usable()) return WindowsFailure("loading setupapi", GetLastError());
  const UniqueDeviceInfoSet devices = setupApi.PresentInterfaces();
  if (!devices.valid()) return WindowsFailure("SetupDiGetClassDevsA", GetLastError());
  std::string path;
  if (!setupApi.InterfacePath(devices, memberIndex, path)) {
    const DWORD error = GetLastError();
    const std::string which = "interface " + std::to_string(memberIndex) + " of the camera's class";
    if (error == ERROR_NO_MORE_ITEMS)
      return Failure(StatusKind::NoDevice, which + " is not present");
    return WindowsFailure(which, error);
  }

  const HANDLE device =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  handle = reinterpret_cast<NativeDeviceHandle>(device);
  if (device == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return WindowsFailure("CreateFileA " + path, error);
  }
  devicePath = path;
  return {};
}

std::vector<BoardInfo> Win32CameraDriver::ListBoards() {
  std::vector<BoardInfo> boards;
  const SetupApi setupApi;
  if (!setupApi.Usable()) return boards;
  const UniqueDeviceInfoSet devices = setupApi.PresentInterfaces();
  if (!devices.valid()) return boards;
  std::string path;
  for (DWORD member = 0; setupApi.InterfacePath(devices, member, path); ++member) {
    // Every interface of the class is the camera driver's; the path names the identity.
    BoardInfo board;
    board.vendorId = HexAfter(path, "vid_");
    board.productId = HexAfter(path, "pid_");
    board.state = BoardStateOf(board.vendorId, board.productId, 0)
                      .value_or(BoardState::CameraFirmware);
    board.path = path;
    boards.push_back(std::move(board));
  }
  return boards;
}

DriverStatus Win32CameraDriver::IoControl(NativeDeviceHandle handle, std::uint32_t controlCode,
                                          std::span<const std::uint8_t> input,
                                          std::span<std::uint8_t> output) {
  if (handle == kNullDeviceHandle || handle == kInvalidDeviceHandle)
    return Failure(StatusKind::NoDevice, "the device is not open");
  constexpr std::size_t kMaxDword = std::numeric_limits<DWORD>::max();
  if (input.size() > kMaxDword || output.size() > kMaxDword)
    return Failure(StatusKind::Other, "a request longer than DeviceIoControl can take");
  DWORD returned = 0;
  if (DeviceIoControl(ToNative(handle), controlCode, const_cast<std::uint8_t*>(input.data()),
                      static_cast<DWORD>(input.size()), output.data(),
                      static_cast<DWORD>(output.size()), &returned, nullptr))
    return {};
  return WindowsFailure("DeviceIoControl", GetLastError());
}

void Win32CameraDriver::Close(NativeDeviceHandle handle) {
  CloseHandle(ToNative(handle));
}

void InstallDebuggerOutput() {
  SetDebugSink([](std::string_view message) {
    const std::string text(message);
    OutputDebugStringA(text.c_str());
  });
}

}  // namespace vesk::win32
