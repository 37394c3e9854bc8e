#pragma once
// The FX2's data side as the 8051 and the host see it: main RAM, scratch RAM, XDATA
// registers owned by peripherals, SFRs owned by peripherals, and the simulated clock.
//
// Memory map (XDATA):
//   0x0000-0x3FFF  main RAM, 16 KB, also the 8051's code space
//   0xE000-0xE1FF  scratch RAM, 512 bytes, data only
//   attached ranges: routed to their peripheral
//   everything else: "unmodelled" storage that keeps what is written and reads its reset
//   value until then; the bus records which of those addresses were touched.
//
// Time: the clock counts FX2 machine cycles (4 clocks each) at the clock set by
// SetClockMhz (12, 24 or 48 MHz) and converts them to picoseconds. A peripheral is ticked
// when the deadline its last Tick() returned has come, after each of its register
// accesses, and when someone calls Wake() for it; never on every instruction.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "sim/peripheral.h"

namespace vesk::sim {

class Bus {
 public:
  static constexpr std::uint16_t kMainRamSize = 0x4000;
  static constexpr std::uint16_t kScratchFirst = 0xE000;
  static constexpr std::uint16_t kScratchSize = 0x0200;

  Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Routes XDATA first..last (inclusive) to `peripheral`; a later attachment overrides an
  // earlier one on the addresses they share. RAM ranges cannot be attached over (the call
  // is ignored for any address inside main or scratch RAM). The bus does not own it.
  void AttachXdata(std::uint16_t first, std::uint16_t last, Peripheral* peripheral);
  // Routes one SFR (0x80-0xFF) to `peripheral`; it then overrides the core's own handling
  // of that SFR, if any. Addresses below 0x80 are ignored.
  void AttachSfr(std::uint8_t address, Peripheral* peripheral);
  // The peripheral attached at an SFR, or null.
  Peripheral* SfrOwner(std::uint8_t address) const { return sfrOwner_[address & 0x7F]; }

  // One XDATA access, by the CPU's MOVX or by the host (the FX2's 0xA0 request).
  std::uint8_t ReadXdata(std::uint16_t address);
  void WriteXdata(std::uint16_t address, std::uint8_t value);
  // An SFR access routed to its attached peripheral (SfrOwner must not be null).
  std::uint8_t ReadSfr(std::uint8_t address);
  void WriteSfr(std::uint8_t address, std::uint8_t value);

  // True when the CPU's read of `address` has no effect (RAM, or a peripheral's pure
  // read); false for unmodelled storage, whose reads are recorded.
  bool ReadIsPure(std::uint16_t address) const;
  bool SfrReadIsPure(std::uint8_t address) const;

  // Direct access for loading programs and for tests; bypasses peripherals.
  std::span<std::uint8_t, kMainRamSize> MainRam() {
    return std::span(memory_).first<kMainRamSize>();
  }
  std::span<std::uint8_t, kScratchSize> ScratchRam() { return scratch_; }
  // The code space as the CPU fetches it: 64 KB, main RAM at 0x0000-0x3FFF and 0xA5 (the
  // FX2's undefined opcode, which faults) above it.
  const std::uint8_t* CodeSpace() const { return memory_.data(); }
  // Pointer to the RAM behind a 256-byte XDATA page, or null when the page is not RAM.
  std::uint8_t* RamPage(std::uint8_t page) const { return ramPage_[page]; }

  // Unmodelled XDATA storage: the value read before any write (default 0x00).
  void SetUnmodelledResetValue(std::uint16_t address, std::uint8_t value);
  // Sorted, without duplicates: every unmodelled XDATA address read or written since Reset().
  std::vector<std::uint16_t> TouchedUnmodelled() const;

  // Simulated time since power-up.
  SimTime Now() const;
  std::uint64_t ElapsedCycles() const { return cycles_; }
  // Clock of the 8051 in MHz: 12, 24 or 48; other values are ignored. Time already elapsed
  // is kept; later cycles take 4 clocks at the new speed.
  void SetClockMhz(unsigned mhz);
  unsigned ClockMhz() const { return clockMhz_; }
  SimTime PicosPerCycle() const;

  // Lets `cycles` machine cycles pass, ticking every peripheral whose deadline they reach.
  void AdvanceCycles(std::uint32_t cycles) {
    cycles_ += cycles;
    if (cycles_ >= nextEventCycle_) ServiceDue();
  }
  // The cycle count at which the next peripheral deadline falls (UINT64_MAX if none).
  std::uint64_t NextEventCycle() const { return nextEventCycle_; }
  // The first cycle count whose time is at or after `time` (UINT64_MAX for kNever).
  std::uint64_t FirstCycleAt(SimTime time) const { return CycleOf(time); }
  // Ticks `peripheral` now and takes its new deadline; for peripherals whose state was
  // changed from outside the bus (a USB packet from the host, say).
  void Wake(Peripheral* peripheral);

  // Change marks, for a host that waits on what the firmware does: every write by the CPU
  // to a watched peripheral, and every write of the interrupt request flags in EXIF, marks
  // the time its instruction started, the first since ClearChangeMark(). Cpu8051::RunUntil
  // can end right after such an instruction.
  void WatchWrites(Peripheral* peripheral) { attached_[IndexOf(peripheral)].watched = true; }
  void MarkChange() {
    if (changeTime_ == kNever) changeTime_ = Now();
  }
  SimTime ChangeTime() const { return changeTime_; }  // kNever when none
  void ClearChangeMark() { changeTime_ = kNever; }

  // Power-on reset: resets every attached peripheral, scratch RAM keeps its contents (it is
  // not cleared on the chip either), unmodelled storage goes back to its reset values and
  // the touched set is emptied. Main RAM is left as it is. Time keeps running.
  void Reset();

 private:
  struct Attached {
    Peripheral* peripheral;
    SimTime deadlineTime;  // as the peripheral gave it; its cycle below
    std::uint64_t deadlineCycle;
    bool watched = false;
  };
  std::size_t IndexOf(Peripheral* peripheral);
  std::uint64_t CycleOf(SimTime time) const;
  void Reschedule(std::size_t index, SimTime deadline);
  void ServiceDue();
  std::uint8_t ReadSlow(std::uint16_t address);
  void WriteSlow(std::uint16_t address, std::uint8_t value);

  // 64 KB so that the CPU's fetch needs no bounds check: above main RAM it holds 0xA5.
  std::array<std::uint8_t, 0x10000> memory_;
  std::array<std::uint8_t, kScratchSize> scratch_;
  std::array<std::uint8_t*, 256> ramPage_;
  // Index + 1 into attached_ for every XDATA address outside RAM; 0 = unmodelled.
  std::vector<std::uint16_t> xdataOwner_;
  std::array<Peripheral*, 128> sfrOwner_{};
  std::vector<Attached> attached_;
  std::vector<std::uint8_t> unmodelled_;
  std::vector<std::uint8_t> unmodelledReset_;
  std::vector<bool> touched_;

  std::uint64_t cycles_ = 0;
  unsigned clockMhz_ = 12;
  // Time and cycle count when the clock speed last changed.
  SimTime baseTime_ = 0;
  std::uint64_t baseCycles_ = 0;
  std::uint64_t nextEventCycle_ = UINT64_MAX;
  SimTime changeTime_ = kNever;
};

}  // namespace vesk::sim
