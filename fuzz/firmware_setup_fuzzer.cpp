// Our control firmware on the emulated board under arbitrary SETUP packets and data
// stages, each transfer perhaps met by a host event (a bus reset, a suspend, the host
// abandoning it) at any of its stages and by an I2C bus error at any byte: every request
// is answered, stalled or ended by its event within the timeout, the firmware keeps
// answering, the EEPROM changes only for a well-formed 0xC6 write, only inside it and only
// to the bytes sent (all of them when the host saw it succeed; a write the host gave up
// may still finish the page it had begun, never begin another), and endpoint 0 and the
// I2C master are never misused.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "device/control_firmware_table.h"
#include "sim/board/emulated_board.h"

namespace {

using namespace vesk;
using sim::board::EmulatedBoard;
using sim::board::HostEvent;
using sim::board::HostEventPoint;
using sim::board::HostInterruption;
using sim::board::kBanksPerChip;
using sim::board::kChips;
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

// A write whose host gave it up (a bus reset, the host abandoning it) ends when the next
// SETUP lands: the firmware may still finish the page write it had begun by then, in that
// write's range and with its bytes, but must not begin another one for it (a retry, the
// next page). A write counts as begun once its EEPROM acknowledged its address; a
// microframe's grace covers a START already on the bus when the SETUP arrived.
struct GivenUp {
  SetupPacket setup;
  std::vector<std::uint8_t> sent;
};

bool Holds(const GivenUp& write, std::size_t at, std::uint8_t value) {
  const std::size_t first = Linear(write.setup);
  return at >= first && at < first + write.sent.size() && write.sent[at - first] == value;
}

std::optional<GivenUp> givenUp;  // the transfer before, across inputs too: the board stays

usb::TransferResult Checked(EmulatedBoard& board, const SetupPacket& s,
                            std::span<std::uint8_t> stage) {
  const GivenUp own{s, {stage.begin(), stage.end()}};
  const std::vector<std::uint8_t> before = board.SaveEepromImage();
  std::array<std::uint64_t, kChips * kBanksPerChip> cycles{};
  for (int bank = 0; bank < kChips * kBanksPerChip; ++bank)
    cycles[bank] = board.Bank(bank / kBanksPerChip, bank % kBanksPerChip).WriteCycles();
  const sim::SimTime lastBegin = board.Now() + 2 * sim::board::kMicroframe;

  const usb::TransferResult result = board.ControlTransfer(s, stage);
  if (result.status == TransferStatus::Timeout) std::abort();  // neither answered nor stalled
  const std::vector<std::uint8_t> after = board.SaveEepromImage();
  const bool write = WellFormedEepromWrite(s);
  for (std::size_t i = 0; i < after.size(); ++i) {
    // A write the host saw succeed holds all of its bytes; any change is one the host sent.
    const bool mustHold = write && result.status == TransferStatus::Ok &&
                          i >= Linear(s) && i < Linear(s) + own.sent.size();
    if (after[i] == before[i] && !mustHold) continue;
    if (!(write && Holds(own, i, after[i])) && !(givenUp && Holds(*givenUp, i, after[i])))
      std::abort();
  }
  if (givenUp && !write) {
    for (int bank = 0; bank < kChips * kBanksPerChip; ++bank) {
      const auto& eeprom = board.Bank(bank / kBanksPerChip, bank % kBanksPerChip);
      const std::uint64_t late = eeprom.WriteCycles() - cycles[bank];
      if (late > 1 || (late == 1 && eeprom.LastWriteBegun() >= lastBegin)) std::abort();
    }
  }
  if (write && result.status == TransferStatus::Other)
    givenUp = own;
  else
    givenUp.reset();
  return result;
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
    // Event byte: bits 0-1 the event (none, reset, suspend, abandon), bits 2-4 the point
    // (modulo 5: before the SETUP, before or after a packet, at a time, in the status
    // stage), bits 5-7 a suspend's length in ms; the next byte the packet or the time in
    // 20 us steps. A third byte, when not 0, puts a bus error on that I2C byte from now.
    const std::uint32_t eventByte = take(1), where = take(1), busError = take(1);
    if (eventByte & 3) {
      HostInterruption event;
      event.event = (eventByte & 3) == 1   ? HostEvent::BusReset
                    : (eventByte & 3) == 2 ? HostEvent::Suspend
                                           : HostEvent::Abandon;
      event.point = static_cast<HostEventPoint>(((eventByte >> 2) & 7) % 5);
      event.packet = where % 66;
      event.after = where * 20 * sim::kPicosPerMicro;
      event.duration = (eventByte >> 5) * sim::kPicosPerMilli;
      board.InterruptNextTransfer(event);
    }
    if (busError) board.I2cBusErrorAtByte(busError);
    Checked(board, s, stage);
  }
  // Still our firmware, still answering.
  std::uint8_t device[18];
  const auto reply = Checked(board, {0x80, 6, 0x0100, 0, 18}, device);
  if (reply.status != TransferStatus::Ok || device[8] != 0x5C || device[9] != 0x12) std::abort();
  // And never once outside what the chip's documentation allows.
  if (!board.Ep0Faults().empty() || board.I2cLateReads() != 0) std::abort();
  return 0;
}
