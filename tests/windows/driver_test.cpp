// The SetupAPI camera driver against Wine's SetupAPI: no camera, and interfaces of the
// camera's class registered for the test (they have no driver behind them, so each
// open gets as far as CreateFileA and no further).

#include <windows.h>
// windows.h first: setupapi.h needs its types.
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "device/device_connection.h"
#include "device/win32/win32_camera_driver.h"
#include "tests/windows/expectations.h"

namespace {

using vesk::windows_tests::Expect;

bool SetupApiLoaded() {
  return GetModuleHandleA("setupapi") != nullptr;
}

constexpr const char* kCameraClassKey =
    "System\\CurrentControlSet\\Control\\DeviceClasses\\"
    "{09e3d9a1-8e70-496c-bc1d-fc8a43cef6b5}";

// Calls `visit` with the name of each registered interface key of the camera's class that
// belongs to a test device.
template <typename Visit>
void ForEachTestInterfaceKey(HKEY classKey, Visit visit) {
  std::vector<std::string> names;
  char name[512];
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(classKey, i, name, &length, nullptr, nullptr, nullptr, nullptr) != 0) break;
    std::string key(name);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (key.find("#vesktest#") != std::string::npos) names.push_back(name);
  }
  for (const auto& key : names) visit(key);
}

// Registers `count` interfaces of the camera's class on devices of a made-up root
// enumerator and marks them enabled, as a driver does when a camera arrives; removes
// them again on destruction. SetupAPI is loaded only for this, so that the test can see
// that the driver's own open leaves it unloaded.
class RegisteredInterfaces {
 public:
  explicit RegisteredInterfaces(int count) : setupApi_(LoadLibraryA("setupapi")) {
    if (!setupApi_) return;
    Removed();
    const auto createList =
        Function<decltype(&SetupDiCreateDeviceInfoList)>("SetupDiCreateDeviceInfoList");
    const auto createInfo =
        Function<decltype(&SetupDiCreateDeviceInfoA)>("SetupDiCreateDeviceInfoA");
    const auto registerInfo =
        Function<decltype(&SetupDiRegisterDeviceInfo)>("SetupDiRegisterDeviceInfo");
    const auto createInterface =
        Function<decltype(&SetupDiCreateDeviceInterfaceA)>("SetupDiCreateDeviceInterfaceA");
    set_ = createList(&vesk::win32::kCameraInterfaceClass, nullptr);
    for (int i = 0; i < count && set_ != INVALID_HANDLE_VALUE; ++i) {
      SP_DEVINFO_DATA device{};
      device.cbSize = sizeof device;
      const std::string name = "ROOT\\VESKTEST\\000" + std::to_string(i);
      if (!createInfo(set_, name.c_str(), &vesk::win32::kCameraInterfaceClass, nullptr, nullptr, 0,
                      &device) ||
          !registerInfo(set_, &device, 0, nullptr, nullptr, nullptr))
        continue;
      devices_.push_back(device);
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof data;
      if (createInterface(set_, &device, &vesk::win32::kCameraInterfaceClass, nullptr, 0, &data))
        ++created_;
    }
    HKEY classKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCameraClassKey, 0, KEY_ALL_ACCESS, &classKey) != 0)
      return;
    ForEachTestInterfaceKey(classKey, [&](const std::string& key) {
      HKEY control = nullptr;
      const DWORD linked = 1;
      if (RegCreateKeyExA(classKey, (key + "\\#\\Control").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                          nullptr, &control, nullptr) == 0) {
        RegSetValueExA(control, "Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked),
                       sizeof linked);
        RegCloseKey(control);
      }
    });
    RegCloseKey(classKey);
  }
  ~RegisteredInterfaces() {
    if (!setupApi_) return;
    const auto removeDevice = Function<decltype(&SetupDiRemoveDevice)>("SetupDiRemoveDevice");
    const auto destroyList =
        Function<decltype(&SetupDiDestroyDeviceInfoList)>("SetupDiDestroyDeviceInfoList");
    for (auto& device : devices_) removeDevice(set_, &device);
    if (set_ != INVALID_HANDLE_VALUE) destroyList(set_);
    Removed();
    FreeLibrary(setupApi_);
  }
  int Created() const { return created_; }

 private:
  template <typename F>
  F Function(const char* name) const {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(setupApi_, name)));
  }
  // Leaves no test interface behind, also none from an earlier, interrupted run.
  static void Removed() {
    HKEY classKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCameraClassKey, 0, KEY_ALL_ACCESS, &classKey) != 0)
      return;
    ForEachTestInterfaceKey(classKey,
                            [&](const std::string& key) { RegDeleteTreeA(classKey, key.c_str()); });
    RegCloseKey(classKey);
  }

  HMODULE setupApi_;
  HDEVINFO set_ = INVALID_HANDLE_VALUE;
  std::vector<SP_DEVINFO_DATA> devices_;
  int created_ = 0;
};

void NoCameraLeavesHandleNullAndPathUntouched() {
  vesk::win32::Win32CameraDriver driver;
  vesk::DeviceHandle handle{vesk::kNullDeviceHandle, &driver};
  char path[1024];
  std::fill(std::begin(path), std::end(path), '#');
  Expect(vesk::OpenCameraDevice(0, handle, path) == vesk::kOpenFailed, "no camera: open fails");
  Expect(handle.value == vesk::kNullDeviceHandle, "no camera: handle null");
  Expect(path[0] == '#' && path[1023] == '#', "no camera: path buffer untouched");
  Expect(!SetupApiLoaded(), "no camera: setupapi unloaded again");
  Expect(vesk::CloseCameraDevice(handle) == 0, "closing a null handle returns 0");
  std::uint8_t reply[4] = {};
  Expect(!driver.IoControl(vesk::kInvalidDeviceHandle, 0xA7F873FC, {}, reply),
         "a request through the invalid handle fails");
}

// The records' size fields are what 64-bit SetupAPI accepts: with the 32-bit values the
// enumeration or the detail would fail and the handle would stay null.
void RegisteredInterfacesAreFoundAndOpened() {
  RegisteredInterfaces interfaces(2);
  if (interfaces.Created() != 2) {
    Expect(false, "registering two test interfaces of the camera's class");
    return;
  }
  vesk::win32::Win32CameraDriver driver;
  for (std::uint16_t index : {0, 1}) {
    vesk::NativeDeviceHandle handle = 77;
    std::string path = "unchanged";
    const bool opened = driver.OpenInterface(index, handle, path);
    const std::string name = "interface " + std::to_string(index);
    Expect(!opened, name + ": nothing behind the path opens");
    Expect(handle == vesk::kInvalidDeviceHandle,
           name + ": found, detail read, CreateFileA tried (handle invalid)");
  }
  vesk::NativeDeviceHandle handle = 77;
  std::string path;
  Expect(!driver.OpenInterface(2, handle, path) && handle == vesk::kNullDeviceHandle,
         "interface 2 of 2: not found, handle null");
}

}  // namespace

int main() {
  NoCameraLeavesHandleNullAndPathUntouched();
  RegisteredInterfacesAreFoundAndOpened();
  return vesk::windows_tests::Summary();
}
