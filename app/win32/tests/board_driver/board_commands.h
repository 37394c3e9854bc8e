#pragma once
// The tests' side of the test driver: its boards' command interfaces, the commands, and
// which step of a run each request of the board's log belongs to.

#include <windows.h>
// windows.h first: setupapi.h needs its types.
#include <setupapi.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "device/eeprom_reader.h"
#include "images/eeprom_image.h"
#include "images/image_downloads.h"
#include "app/win32/tests/board_driver/served_board.h"

namespace vesk::windows_tests {


// The test driver's command interface; also in board_driver.c.
inline constexpr GUID kBoardCommandClass = {
    0x6A0F1C52, 0x3B7E, 0x4D19, {0x9C, 0x2E, 0x51, 0x7A, 0xB4, 0x08, 0xD3, 0x6F}};

// The paths of the boards' command interfaces, board 0 first. A board that is removed
// keeps its command interface.
inline std::vector<std::string> BoardCommandPaths() {
  std::vector<std::string> paths;
  HDEVINFO set = SetupDiGetClassDevsA(&kBoardCommandClass, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  SP_DEVICE_INTERFACE_DATA data{sizeof data, {}, 0, 0};
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kBoardCommandClass, i, &data); ++i) {
    union {
      SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
      char bytes[1024];
    } record{};
    record.detail.cbSize = sizeof record.detail;
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, &record.detail, sizeof record, nullptr,
                                         nullptr))
      paths.emplace_back(record.detail.DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

// The reply of board `board` to `command` (served_board.cpp lists the commands); nothing
// when the board cannot be reached or the command fails.
inline std::optional<std::string> BoardCommand(unsigned board, const std::string& command) {
  const std::vector<std::string> paths = BoardCommandPaths();
  if (board >= paths.size()) return std::nullopt;
  HANDLE device = CreateFileA(paths[board].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return std::nullopt;
  std::vector<char> reply(1 << 16);
  DWORD returned = 0;
  const BOOL ok =
      DeviceIoControl(device, VESK_BOARD_COMMAND_CODE, const_cast<char*>(command.data()),
                      static_cast<DWORD>(command.size()), reply.data(),
                      static_cast<DWORD>(reply.size()), &returned, nullptr);
  CloseHandle(device);
  if (!ok) return std::nullopt;
  std::string text(reply.data(), returned);
  if (text.rfind("error", 0) == 0) return std::nullopt;
  return text;
}

inline std::vector<std::uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Where board N keeps its EEPROM, in the test folder (the folder the boards were
// installed with and the tests run in).
inline std::string BoardFile(unsigned board) {
  return "board" + std::to_string(board) + ".eeprom";
}

// Boards 0 .. attached-1 erased and attached, the others removed; false when a board
// cannot be reached.
inline bool AttachErasedBoards(unsigned attached) {
  bool ok = true;
  for (unsigned board = 0; board < 2; ++board) {
    DeleteFileA(BoardFile(board).c_str());
    ok = BoardCommand(board, "load") && ok;
    if (board >= attached) ok = BoardCommand(board, "unplug") && ok;
  }
  return ok;
}

// What a successful run with the image files of the current folder leaves in an erased
// EEPROM: the six images at their places, the header, every other byte erased.
inline std::vector<std::uint8_t> ImagesAsWritten() {
  std::vector<std::uint8_t> eeprom(kEepromImageSize, 0xFF);
  const auto put = [&](std::uint8_t chip, std::uint8_t bank, std::uint16_t offset,
                       const std::vector<std::uint8_t>& bytes) {
    const std::size_t at = (chip * kBanksPerChip + bank) * kBankSize + offset;
    std::copy(bytes.begin(), bytes.end(), eeprom.begin() + static_cast<long>(at));
  };
  for (const ImagePlace* place : {&kBufConPlace, &kCamConPlace, &kFx2Place, &kGpifBufConPlace,
                                  &kGpifCamConPlace, &kGpifFifoPlace})
    put(place->chip, place->bank, place->offset, FileBytes(*place->file));
  const auto header = HeaderForRun(static_cast<std::uint32_t>(FileBytes("bufcon.bin").size()),
                                   static_cast<std::uint32_t>(FileBytes("camcon.bin").size()))
                          .Encode();
  put(0, 4, 0, {header.begin(), header.end()});
  return eeprom;
}

// The requests of one step of a run, counted from 1 as the board counts them.
struct StepRequests {
  const char* errorLine;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};

// The step's first request, and its last when that is another.
inline std::vector<std::uint64_t> FirstAndLast(const StepRequests& step) {
  if (step.last == step.first) return {step.first};
  return {step.first, step.last};
}

// A request fault to plant with a board command, the error line the run must end with and
// the cause the driver's status must name.
struct PlantedFault {
  std::string command;
  std::string errorLine;
  std::string cause;
};

// Each step's first and last request failing, and with the six steps of a whole run, the
// board removed during CamCon.
inline std::vector<PlantedFault> RequestFaults(const std::vector<StepRequests>& steps) {
  std::vector<PlantedFault> faults;
  for (const StepRequests& step : steps)
    for (const std::uint64_t request : FirstAndLast(step))
      faults.push_back({"fail " + std::to_string(request), step.errorLine, "error 31"});
  if (steps.size() == 6)
    faults.push_back({"remove " + std::to_string(steps[2].first + 2), steps[2].errorLine,
                      "no device (DeviceIoControl: error 1167"});
  return faults;
}

// The steps of the run the board logged, from its log: the control firmware (every 0xA0
// request, the board check's reads and the header erase after them), then the EEPROM writes by where they go
// (chip 0 banks 1-3 BufCon, chip 1 CamCon, chip 0 bank 0 the FX2 image, bank 5 the GPIF
// waveforms, bank 4 the header).
inline std::vector<StepRequests> StepsOfLoggedRun(const std::string& log) {
  std::vector<StepRequests> steps = {{"Error 0x2 (Failed download control firmware)"},
                                     {"Error 0x3 (Failed to download BufCon)"},
                                     {"Error 0x4 (Failed to download CamCon)"},
                                     {"Error 0x5 (Failed to download FX2)"},
                                     {"Error 0x6 (Failed to download GPIF waveforms)"},
                                     {"Error 0x7 (Failed to write USB ROM header)"}};
  std::istringstream lines(log);
  std::string line;
  std::uint64_t number = 0;
  bool firmwareDone = false;
  while (std::getline(lines, line)) {
    unsigned request = 0, value = 0, index = 0, length = 0, status = 0, type = 0;
    std::istringstream(line) >> std::hex >> request >> value >> index >> length >> status >> type;
    ++number;
    std::size_t step = 0;
    if (request == 0xA0 || !firmwareDone) {
      // The board check's reads belong to the step too; its first write, the header
      // erase, ends it.
      firmwareDone = request != 0xA0 && (type & 0x80) == 0;
    } else if (value >> 8 == 1) {
      step = 2;
    } else {
      switch (value & 0xFF) {
        case 0: step = 3; break;
        case 4: step = 5; break;
        case 5: step = 4; break;
        default: step = 1; break;
      }
    }
    if (steps[step].first == 0) steps[step].first = number;
    steps[step].last = number;
  }
  return steps;
}

}  // namespace vesk::windows_tests
