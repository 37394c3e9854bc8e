// The SetupAPI camera driver against Wine's SetupAPI: no camera, and interfaces of the
// camera's class registered for the test (they have no driver behind them, so each
// open gets as far as CreateFileA and no further).

#include <windows.h>
// windows.h first: setupapi.h needs its types.
#include <setupapi.h>

#include <string>
#include <vector>

#include "device/win32/win32_camera_driver.h"
#include "tests/windows/expectations.h"

namespace {

using vesk::windows_tests::Expect;
using vesk::win32::kCameraInterfaceClass;

constexpr const char* kCameraClassKey =
    "System\\CurrentControlSet\\Control\\DeviceClasses\\"
    "{09e3d9a1-8e70-496c-bc1d-fc8a43cef6b5}";

// Marks every interface of the camera's class present, as a driver does when a camera
// arrives.
void MarkInterfacesPresent() {
  HKEY classKey = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCameraClassKey, 0, KEY_ALL_ACCESS, &classKey) != 0) return;
  const DWORD linked = 1;
  char name[512];
  for (DWORD i = 0, length = sizeof name;
       RegEnumKeyExA(classKey, i, name, &length, nullptr, nullptr, nullptr, nullptr) == 0;
       ++i, length = sizeof name)
    RegSetKeyValueA(classKey, (std::string(name) + "\\#\\Control").c_str(), "Linked", REG_DWORD,
                    &linked, sizeof linked);
  RegCloseKey(classKey);
}

// The prefix is the build's own: no interface of the camera's class but the test's, also
// none left by an earlier, interrupted run.
void RemoveInterfaces() {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kCameraClassKey);
}

// Registers `count` interfaces of the camera's class on devices of a made-up root
// enumerator and marks them present, as a driver does when a camera arrives; removes
// them again on destruction.
class RegisteredInterfaces {
 public:
  explicit RegisteredInterfaces(int count)
      : set_(SetupDiCreateDeviceInfoList(&kCameraInterfaceClass, nullptr)) {
    RemoveInterfaces();
    for (int i = 0; i < count; ++i) {
      SP_DEVINFO_DATA device{sizeof device, {}, 0, 0};
      SP_DEVICE_INTERFACE_DATA data{sizeof data, {}, 0, 0};
      const std::string name = "ROOT\\VESKTEST\\000" + std::to_string(i);
      if (!SetupDiCreateDeviceInfoA(set_, name.c_str(), &kCameraInterfaceClass, nullptr, nullptr,
                                    0, &device) ||
          !SetupDiRegisterDeviceInfo(set_, &device, 0, nullptr, nullptr, nullptr))
        continue;
      devices_.push_back(device);
      created_ += SetupDiCreateDeviceInterfaceA(set_, &device, &kCameraInterfaceClass, nullptr, 0,
                                                &data);
    }
    MarkInterfacesPresent();
  }
  ~RegisteredInterfaces() {
    for (auto& device : devices_) SetupDiRemoveDevice(set_, &device);
    SetupDiDestroyDeviceInfoList(set_);
    RemoveInterfaces();
  }
  int Created() const { return created_; }

 private:
  HDEVINFO set_;
  std::vector<SP_DEVINFO_DATA> devices_;
  int created_ = 0;
};

// A registered interface is found and its detail read only with the record sizes 64-bit
// SetupAPI accepts: otherwise the handle stays null instead of the invalid handle that
// CreateFileA leaves. A missing one fails with the handle null.
void OpenReachesCreateFileOnlyForRegisteredInterfaces() {
  const struct {
    const char* name;
    int registered;
    std::uint16_t index;
    vesk::NativeDeviceHandle handle;
  } cases[] = {
      {"no camera", 0, 0, vesk::kNullDeviceHandle},
      {"interface 0 of 2", 2, 0, vesk::kInvalidDeviceHandle},
      {"interface 1 of 2", 2, 1, vesk::kInvalidDeviceHandle},
      {"interface 2 of 2", 2, 2, vesk::kNullDeviceHandle},
  };
  for (const auto& c : cases) {
    const std::string name = c.name;
    const RegisteredInterfaces interfaces(c.registered);
    Expect(interfaces.Created() == c.registered, name + ": registered");
    vesk::win32::Win32CameraDriver driver;
    vesk::NativeDeviceHandle handle = 77;
    std::string path = "unchanged";
    Expect(!driver.OpenInterface(c.index, handle, path) && path == "unchanged",
           name + ": nothing opens");
    Expect(handle == c.handle, name + ": the handle the open got as far as");
  }
}

}  // namespace

int main() {
  OpenReachesCreateFileOnlyForRegisteredInterfaces();
  return vesk::windows_tests::Summary();
}
