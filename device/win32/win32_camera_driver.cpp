#include "device/win32/win32_camera_driver.h"

#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

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

}  // namespace

bool Win32CameraDriver::OpenInterface(std::uint16_t memberIndex, NativeDeviceHandle& handle,
                                      std::string& devicePath) {
  handle = kNullDeviceHandle;
  const UniqueModule setupApi(LoadLibraryA("setupapi"));
  if (!setupApi) return false;

  const auto getClassDevs = Lookup<GetClassDevsFn>(setupApi.get(), "SetupDiGetClassDevsA");
  const auto enumInterfaces =
      Lookup<EnumDeviceInterfacesFn>(setupApi.get(), "SetupDiEnumDeviceInterfaces");
  const auto getDetail =
      Lookup<GetInterfaceDetailFn>(setupApi.get(), "SetupDiGetDeviceInterfaceDetailA");
  const auto destroyList =
      Lookup<DestroyDeviceInfoListFn>(setupApi.get(), "SetupDiDestroyDeviceInfoList");
  if (!getClassDevs || !enumInterfaces || !getDetail || !destroyList) return false;

  const UniqueDeviceInfoSet devices(
      getClassDevs(&kCameraInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
      destroyList);
  if (!devices.valid()) return false;

  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = kInterfaceDataRecordSize;
  if (!enumInterfaces(devices.get(), nullptr, &kCameraInterfaceClass, memberIndex, &interfaceData))
    return false;

  DWORD requiredSize = 0;
  getDetail(devices.get(), &interfaceData, nullptr, 0, &requiredSize, nullptr);
  if (requiredSize <= kDevicePathOffset) return false;

  UniqueDetailRecord detail(
      static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(::operator new(requiredSize, std::nothrow)));
  if (!detail) return false;
  detail->cbSize = kInterfaceDetailRecordSize;
  if (!getDetail(devices.get(), &interfaceData, detail.get(), requiredSize, &requiredSize, nullptr))
    return false;
  // The path ends with a zero inside the record; never read past the record.
  const std::size_t pathCapacity = requiredSize - kDevicePathOffset;
  const std::string path(detail->DevicePath, strnlen(detail->DevicePath, pathCapacity));

  const HANDLE device =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  handle = reinterpret_cast<NativeDeviceHandle>(device);
  if (device == INVALID_HANDLE_VALUE) return false;
  devicePath = path;
  return true;
}

bool Win32CameraDriver::IoControl(NativeDeviceHandle handle, std::uint32_t controlCode,
                                  std::span<const std::uint8_t> input,
                                  std::span<std::uint8_t> output) {
  if (handle == kNullDeviceHandle || handle == kInvalidDeviceHandle) return false;
  constexpr std::size_t kMaxDword = std::numeric_limits<DWORD>::max();
  if (input.size() > kMaxDword || output.size() > kMaxDword) return false;
  DWORD returned = 0;
  return DeviceIoControl(ToNative(handle), controlCode, const_cast<std::uint8_t*>(input.data()),
                         static_cast<DWORD>(input.size()), output.data(),
                         static_cast<DWORD>(output.size()), &returned, nullptr) != FALSE;
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
