// The emulated board behind the test driver: the camera's I/O control carried to it as
// the camera's own driver carries it to the board's USB control endpoint, the faults a
// test plants, and the EEPROM kept in a file.
#include "app/win32/tests/board_driver/served_board.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <new>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "device/usb/usb_camera_driver.h"
#include "device/vendor_request.h"
#include "sim/board/emulated_board.h"

using vesk::sim::board::EmulatedBoard;

struct ServedBoard {
  // Requests are counted from 1 since the last "load"; 0 means no fault planted.
  struct Faults {
    std::uint64_t failAt = 0;
    std::uint64_t removeAt = 0;
    bool silent = false;
  };

  explicit ServedBoard(std::string file) : eepromFile(std::move(file)) { Load(); }

  // The EEPROM from the file (erased unless it holds a whole image), a power cycle, no
  // faults, and the board attached.
  void Load() {
    std::ifstream in;
    if (!eepromFile.empty()) in.open(eepromFile, std::ios::binary);
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    if (!board.LoadEepromImage(image)) board.EraseEeproms();
    board.PowerCycle();
    board.ClearRequestLog();
    faults = {};
    requests = 0;
    removed = false;
  }

  bool Save() const {
    if (eepromFile.empty()) return true;
    const std::vector<std::uint8_t> image = board.SaveEepromImage();
    std::ofstream out(eepromFile, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    return static_cast<bool>(out.flush());
  }

  ServedStatus CameraRequest(unsigned char* buffer, std::size_t inputLength,
                             std::size_t outputLength, std::size_t& information,
                             ServedInterface& change);
  std::string Command(const std::string& line, ServedInterface& change);

  std::mutex lock;
  std::string eepromFile;
  EmulatedBoard board;
  Faults faults;
  std::uint64_t requests = 0;
  bool removed = false;
};

ServedStatus ServedBoard::CameraRequest(unsigned char* buffer, std::size_t inputLength,
                                        std::size_t outputLength, std::size_t& information,
                                        ServedInterface& change) {
  ++requests;
  if (removed) return kServedRemoved;
  if (requests == faults.removeAt) {
    // Surprise removal: the interface goes away and this request and every later one fail.
    removed = true;
    change = kInterfaceDisable;
    return kServedRemoved;
  }
  if (requests == faults.failAt) return kServedFailed;
  if (faults.silent) return kServedTimeout;

  const std::span<const std::uint8_t> input(buffer, inputLength);
  const std::span<std::uint8_t> output(buffer, outputLength);
  if (!vesk::usb::IsWellFormedVendorRequest(input, output.size())) return kServedMalformed;
  std::size_t returned = 0;
  const vesk::DriverStatus status = vesk::usb::CarryVendorRequest(board, input, output, returned);
  switch (status.kind) {
    case vesk::StatusKind::Ok:
      break;
    case vesk::StatusKind::Timeout:
      return kServedTimeout;
    case vesk::StatusKind::NoDevice:
      return kServedRemoved;
    default:
      return kServedFailed;
  }
  information = returned;
  const bool eepromWrite = input[0] == vesk::kRequestEepromBlock && input[1] == vesk::kHostToDevice;
  if (eepromWrite && !Save()) return kServedFailed;
  return kServedOk;
}

// The commands, one per I/O control, each answered with a line of text:
//   load        the EEPROM from the file, power cycle, no faults, attached ("ok")
//   save        the EEPROM into the file now ("ok")
//   fail N      the N-th camera request since "load" fails without reaching the board
//   remove N    at the N-th camera request since "load" the board is removed: the camera
//               interface disappears and that request and every later one fail
//   unplug      the board is removed now
//   silent      the board answers no request: each fails as a timeout
//   log         the control transfers the board saw since "load", one line each:
//               "bRequest wValue wIndex wLength status bmRequestType" in hexadecimal
std::string ServedBoard::Command(const std::string& line, ServedInterface& change) {
  std::istringstream words(line);
  std::string verb;
  words >> verb;
  std::uint64_t number = 0;
  const bool counted = verb == "fail" || verb == "remove";
  if (counted && (!(words >> number) || number == 0)) return "error: " + verb + " needs N >= 1";
  if (verb == "load") {
    Load();
    change = kInterfaceEnable;
  } else if (verb == "save") {
    if (!Save()) return "error: cannot write " + eepromFile;
  } else if (verb == "fail") {
    faults.failAt = number;
  } else if (verb == "remove") {
    faults.removeAt = number;
  } else if (verb == "unplug") {
    removed = true;
    change = kInterfaceDisable;
  } else if (verb == "silent") {
    faults.silent = true;
  } else if (verb == "log") {
    std::ostringstream log;
    log << std::hex;
    for (const auto& record : board.RequestLog())
      log << unsigned(record.setup.bRequest) << ' ' << record.setup.wValue << ' '
          << record.setup.wIndex << ' ' << record.setup.wLength << ' '
          << static_cast<int>(record.status) << ' ' << unsigned(record.setup.bmRequestType)
          << '\n';
    return log.str();
  } else {
    return "error: unknown command \"" + verb + "\"";
  }
  return "ok";
}

extern "C" {

ServedBoard* ServedBoardCreate(const char* eepromFile) {
  try {
    return new ServedBoard(eepromFile ? eepromFile : "");
  } catch (...) {
    return nullptr;
  }
}

void ServedBoardDestroy(ServedBoard* board) {
  delete board;
}

ServedStatus ServedBoardControl(ServedBoard* board, unsigned long code, unsigned char* buffer,
                                size_t inputLength, size_t outputLength, size_t* information,
                                ServedInterface* interfaceChange) {
  *information = 0;
  *interfaceChange = kInterfaceUnchanged;
  if ((inputLength != 0 || outputLength != 0) && buffer == nullptr) return kServedMalformed;
  try {
    const std::lock_guard hold(board->lock);
    if (code == vesk::kVendorRequestIoControl)
      return board->CameraRequest(buffer, inputLength, outputLength, *information,
                                  *interfaceChange);
    if (code != VESK_BOARD_COMMAND_CODE) return kServedUnknownCode;
    const std::string reply =
        board->Command(std::string(reinterpret_cast<const char*>(buffer), inputLength),
                       *interfaceChange);
    if (reply.size() > outputLength) return kServedMalformed;
    std::memcpy(buffer, reply.data(), reply.size());
    *information = reply.size();
    return kServedOk;
  } catch (const std::bad_alloc&) {
    return kServedNoMemory;
  } catch (...) {
    return kServedFailed;
  }
}

}  // extern "C"
