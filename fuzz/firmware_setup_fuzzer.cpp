// Our control firmware on the emulated board under arbitrary SETUP packets and data
// stages: every request is answered or stalled within the timeout, the firmware keeps
// answering, the EEPROM changes only for a well-formed 0xC6 write, exactly as asked, and
// endpoint 0 and the I2C master are never misused.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "device/control_firmware_table.h"
#include "sim/board/emulated_board.h"

namespace {

using namespace vesk;
using sim::board::EmulatedBoard;
using usb::SetupPacket;
using usb::TransferStatus;

EmulatedBoard& Board() {
  static std::unique_ptr<EmulatedBoard> board = [] {
    auto b = std::make_unique<EmulatedBoard>();
    std::uint8_t hold = 1, run = 0;
    b->ControlTransfer({0x40, 0xA0, 0xE600, 0, 1}, {&hold, 1});
    for (std::size_t i = 0; ControlFirmwareTable[i].type == 0; ++i) {
      HexRecord& r = ControlFirmwareTable[i];
      b->ControlTransfer({0x40, 0xA0, r.address, 0, r.length}, {r.data, r.length});
    }
    b->ControlTransfer({0x40, 0xA0, 0xE600, 0, 1}, {&run, 1});
    return b;
  }();
  return *board;
}

bool WellFormedEepromWrite(const SetupPacket& s) {
  const unsigned chip = s.wValue >> 8, bank = s.wValue & 0xFF;
  return s.bmRequestType == 0x40 && s.bRequest == 0xC6 && chip <= 1 && bank <= 5 &&
         s.wLength >= 1 && s.wLength <= 4096 && s.wIndex + s.wLength <= 0x8000u;
}

std::size_t Linear(const SetupPacket& s) {
  return ((s.wValue >> 8) * 6 + (s.wValue & 0xFF)) * 0x8000u + s.wIndex;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  EmulatedBoard& board = Board();
  std::size_t at = 0;
  auto take = [&](std::size_t n) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = v << 8 | (at < size ? data[at++] : 0);
    return v;
  };
  for (int transfer = 0; transfer < 3 && at < size; ++transfer) {
    SetupPacket s;
    s.bmRequestType = static_cast<std::uint8_t>(take(1));
    s.bRequest = static_cast<std::uint8_t>(take(1));
    s.wValue = static_cast<std::uint16_t>(take(2));
    s.wIndex = static_cast<std::uint16_t>(take(2));
    // Long data stages are slow to emulate; most of the interest is in the small ones.
    s.wLength = static_cast<std::uint16_t>(take(2) % 1100);
    // 0xA0 is the chip's own loader, not the firmware: it would only overwrite the firmware.
    if (s.bRequest == 0xA0) continue;
    std::vector<std::uint8_t> stage(s.wLength);
    for (auto& b : stage) b = static_cast<std::uint8_t>(take(1));
    const std::vector<std::uint8_t> stageSent = stage;

    const std::vector<std::uint8_t> before = board.SaveEepromImage();
    const usb::TransferResult result = board.ControlTransfer(s, stage);
    if (result.status == TransferStatus::Timeout) std::abort();  // neither answered nor stalled
    const std::vector<std::uint8_t> after = board.SaveEepromImage();
    if (before != after) {
      if (!WellFormedEepromWrite(s) || result.status != TransferStatus::Ok) std::abort();
      std::vector<std::uint8_t> expected = before;
      std::copy(stageSent.begin(), stageSent.end(), expected.begin() + Linear(s));
      if (expected != after) std::abort();
    }
  }
  // Still our firmware, still answering.
  std::uint8_t device[18];
  const auto reply = board.ControlTransfer({0x80, 6, 0x0100, 0, 18}, device);
  if (reply.status != TransferStatus::Ok || device[8] != 0x5C || device[9] != 0x12) std::abort();
  // And never once outside what the chip's documentation allows.
  if (!board.Ep0Faults().empty() || board.I2cLateReads() != 0) std::abort();
  return 0;
}
