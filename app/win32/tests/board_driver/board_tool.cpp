// Installs the test driver's emulated boards into the Wine prefix and sends them the
// tests' commands. Usage:
//   vesk-board install INF COUNT FOLDER   COUNT boards, board N's EEPROM in FOLDER\boardN.eeprom;
//                                         waits until their interfaces are present
//   vesk-board uninstall                  removes every board
//   vesk-board N COMMAND...               the command to board N (served_board.cpp lists
//                                         them); prints the reply
// Exit status 0 on success, 1 on failure (with the reason on standard error), 2 on usage.

#include <windows.h>
// windows.h first: the SetupAPI headers need its types.
#include <devguid.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/win32/tests/board_driver/board_commands.h"

namespace {

using vesk::windows_tests::BoardCommand;
using vesk::windows_tests::BoardCommandPaths;

constexpr const char* kHardwareId = "root\\vesk_test_board";
// The instance names carry the identity of a bare FX2, as a USB device's do, so that the
// programs read it from the interface path.
constexpr const char* kInstanceName = "VID_04B4&PID_8613";
constexpr const char* kParametersKey =
    "System\\CurrentControlSet\\Services\\vesk_test_board\\Parameters";
int Fail(const std::string& what) {
  std::fprintf(stderr, "vesk-board: %s (error %lu)\n", what.c_str(), GetLastError());
  return 1;
}

bool IsBoard(HDEVINFO set, SP_DEVINFO_DATA& device) {
  char ids[1024] = {};
  return SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<BYTE*>(ids), sizeof ids - 2,
                                           nullptr) &&
         lstrcmpiA(ids, kHardwareId) == 0;
}

void RemoveBoards() {
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_SYSTEM, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device{sizeof device, {}, 0, 0};
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i)
    if (IsBoard(set, device)) SetupDiCallClassInstaller(DIF_REMOVE, set, &device);
  SetupDiDestroyDeviceInfoList(set);
}

int Install(const std::string& inf, int count, const std::string& folder) {
  RemoveBoards();
  HKEY parameters = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kParametersKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &parameters, nullptr) != ERROR_SUCCESS)
    return Fail("cannot create the driver's parameters");
  for (int board = 0; board < count; ++board) {
    const std::string name = "Board" + std::to_string(board);
    const std::string file = folder + "\\board" + std::to_string(board) + ".eeprom";
    RegSetValueExA(parameters, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                   static_cast<DWORD>(file.size() + 1));
  }
  RegCloseKey(parameters);

  HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  static const char kHardwareIds[] = "root\\vesk_test_board\0";
  for (int board = 0; board < count; ++board) {
    SP_DEVINFO_DATA device{sizeof device, {}, 0, 0};
    const char* failed = nullptr;
    // With a generated id the name is the device's alone: ROOT\\VID_04B4&PID_8613\\000N.
    if (!SetupDiCreateDeviceInfoA(set, kInstanceName, &GUID_DEVCLASS_SYSTEM, nullptr, nullptr,
                                  DICD_GENERATE_ID, &device))
      failed = "SetupDiCreateDeviceInfoA";
    else if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE*>(kHardwareIds),
                                                sizeof kHardwareIds))
      failed = "SetupDiSetDeviceRegistryPropertyA";
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
      failed = "DIF_REGISTERDEVICE";
    if (failed) {
      const int status = Fail(std::string(failed) + " for board " + std::to_string(board));
      SetupDiDestroyDeviceInfoList(set);
      return status;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, kHardwareId, inf.c_str(), INSTALLFLAG_FORCE,
                                          &reboot))
    return Fail("UpdateDriverForPlugAndPlayDevicesA " + inf);
  // The interfaces appear once the devices have started, a little after the install.
  for (int wait = 0; wait < 200; ++wait, Sleep(50))
    if (BoardCommandPaths().size() == static_cast<std::size_t>(count)) return 0;
  return Fail(std::to_string(BoardCommandPaths().size()) + " of " + std::to_string(count) +
              " boards started");
}

int Command(unsigned board, const std::string& command) {
  const std::optional<std::string> reply = BoardCommand(board, command);
  if (!reply) return Fail("command \"" + command + "\" to board " + std::to_string(board));
  std::fwrite(reply->data(), 1, reply->size(), stdout);
  if (reply->empty() || reply->back() != '\n') std::fputc('\n', stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "install" && argc == 5) return Install(argv[2], std::atoi(argv[3]), argv[4]);
  if (verb == "uninstall" && argc == 2) {
    RemoveBoards();
    return 0;
  }
  if (argc >= 3 && !verb.empty() && verb.find_first_not_of("0123456789") == std::string::npos) {
    std::string command = argv[2];
    for (int i = 3; i < argc; ++i) command += std::string(" ") + argv[i];
    return Command(static_cast<unsigned>(std::stoul(verb)), command);
  }
  std::fprintf(stderr,
               "usage: vesk-board install INF COUNT FOLDER | uninstall | N COMMAND...\n");
  return 2;
}
