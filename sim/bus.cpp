#include "sim/bus.h"

#include <algorithm>

namespace vesk::sim {

namespace {
constexpr std::uint8_t kUndefinedOpcode = 0xA5;
constexpr SimTime kPicosPerMhzCycle = 4'000'000;  // 4 clocks at 1 MHz
}  // namespace

Bus::Bus()
    : xdataOwner_(0x10000, 0),
      unmodelled_(0x10000, 0),
      unmodelledReset_(0x10000, 0),
      touched_(0x10000, false) {
  memory_.fill(0);
  std::fill(memory_.begin() + kMainRamSize, memory_.end(), kUndefinedOpcode);
  scratch_.fill(0);
  ramPage_.fill(nullptr);
  for (unsigned page = 0; page < kMainRamSize / 256; ++page) ramPage_[page] = &memory_[page * 256];
  for (unsigned page = 0; page < kScratchSize / 256; ++page) {
    ramPage_[(kScratchFirst >> 8) + page] = &scratch_[page * 256];
  }
}

std::size_t Bus::IndexOf(Peripheral* peripheral) {
  for (std::size_t i = 0; i < attached_.size(); ++i) {
    if (attached_[i].peripheral == peripheral) return i;
  }
  attached_.push_back({peripheral, kNever, UINT64_MAX, false});
  return attached_.size() - 1;
}

void Bus::AttachXdata(std::uint16_t first, std::uint16_t last, Peripheral* peripheral) {
  if (peripheral == nullptr) return;
  const std::uint16_t index = static_cast<std::uint16_t>(IndexOf(peripheral) + 1);
  for (std::uint32_t address = first; address <= last; ++address) {
    if (ramPage_[address >> 8] != nullptr) continue;
    xdataOwner_[address] = index;
  }
  Wake(peripheral);
}

void Bus::AttachSfr(std::uint8_t address, Peripheral* peripheral) {
  if (address < 0x80 || peripheral == nullptr) return;
  IndexOf(peripheral);
  sfrOwner_[address & 0x7F] = peripheral;
  Wake(peripheral);
}

std::uint8_t Bus::ReadXdata(std::uint16_t address) {
  if (std::uint8_t* page = ramPage_[address >> 8]) return page[address & 0xFF];
  return ReadSlow(address);
}

void Bus::WriteXdata(std::uint16_t address, std::uint8_t value) {
  if (std::uint8_t* page = ramPage_[address >> 8]) {
    page[address & 0xFF] = value;
    return;
  }
  WriteSlow(address, value);
}

std::uint8_t Bus::ReadSlow(std::uint16_t address) {
  const std::uint16_t owner = xdataOwner_[address];
  if (owner == 0) {
    touched_[address] = true;
    return unmodelled_[address];
  }
  Attached& entry = attached_[owner - 1];
  const std::uint8_t value = entry.peripheral->ReadXdata(address);
  Reschedule(owner - 1, entry.peripheral->Tick(Now()));
  return value;
}

void Bus::WriteSlow(std::uint16_t address, std::uint8_t value) {
  const std::uint16_t owner = xdataOwner_[address];
  if (owner == 0) {
    touched_[address] = true;
    unmodelled_[address] = value;
    return;
  }
  Attached& entry = attached_[owner - 1];
  if (entry.watched) MarkChange();
  entry.peripheral->WriteXdata(address, value);
  Reschedule(owner - 1, entry.peripheral->Tick(Now()));
}

std::uint8_t Bus::ReadSfr(std::uint8_t address) {
  Peripheral* peripheral = sfrOwner_[address & 0x7F];
  const std::uint8_t value = peripheral->ReadSfr(address);
  Reschedule(IndexOf(peripheral), peripheral->Tick(Now()));
  return value;
}

void Bus::WriteSfr(std::uint8_t address, std::uint8_t value) {
  Peripheral* peripheral = sfrOwner_[address & 0x7F];
  const std::size_t index = IndexOf(peripheral);
  if (attached_[index].watched) MarkChange();
  peripheral->WriteSfr(address, value);
  Reschedule(index, peripheral->Tick(Now()));
}

bool Bus::ReadIsPure(std::uint16_t address) const {
  if (ramPage_[address >> 8] != nullptr) return true;
  const std::uint16_t owner = xdataOwner_[address];
  return owner != 0 && attached_[owner - 1].peripheral->ReadIsPure(address);
}

bool Bus::SfrReadIsPure(std::uint8_t address) const {
  const Peripheral* peripheral = sfrOwner_[address & 0x7F];
  return peripheral != nullptr && peripheral->SfrReadIsPure(address);
}

void Bus::SetUnmodelledResetValue(std::uint16_t address, std::uint8_t value) {
  unmodelledReset_[address] = value;
  if (!touched_[address]) unmodelled_[address] = value;
}

std::vector<std::uint16_t> Bus::TouchedUnmodelled() const {
  std::vector<std::uint16_t> result;
  for (std::uint32_t address = 0; address < 0x10000; ++address) {
    if (touched_[address]) result.push_back(static_cast<std::uint16_t>(address));
  }
  return result;
}

namespace {
// Picoseconds of `cycles` machine cycles at `Mhz`; a constant divisor, as Now() runs on
// every peripheral access.
template <unsigned Mhz>
SimTime TimeOfCycles(std::uint64_t cycles) {
  return cycles / Mhz * kPicosPerMhzCycle + cycles % Mhz * kPicosPerMhzCycle / Mhz;
}
}  // namespace

SimTime Bus::Now() const {
  const std::uint64_t cycles = cycles_ - baseCycles_;
  switch (clockMhz_) {  // SetClockMhz takes nothing else
    case 48:
      return baseTime_ + TimeOfCycles<48>(cycles);
    case 24:
      return baseTime_ + TimeOfCycles<24>(cycles);
    default:
      return baseTime_ + TimeOfCycles<12>(cycles);
  }
}

SimTime Bus::PicosPerCycle() const {
  return kPicosPerMhzCycle / clockMhz_;
}

void Bus::SetClockMhz(unsigned mhz) {
  if (mhz != 12 && mhz != 24 && mhz != 48) return;
  if (mhz == clockMhz_) return;
  baseTime_ = Now();
  baseCycles_ = cycles_;
  clockMhz_ = mhz;
  // Deadlines are kept in cycles; recompute them from the peripherals.
  for (Attached& entry : attached_) {
    entry.deadlineTime = kNever;
    entry.deadlineCycle = UINT64_MAX;
  }
  nextEventCycle_ = UINT64_MAX;
  for (std::size_t i = 0; i < attached_.size(); ++i) {
    Reschedule(i, attached_[i].peripheral->Tick(baseTime_));
  }
}

std::uint64_t Bus::CycleOf(SimTime time) const {
  if (time == kNever) return UINT64_MAX;
  if (time <= baseTime_) return baseCycles_;
  const SimTime delta = time - baseTime_;
  // Smallest cycle count whose time is >= `time`.
  const std::uint64_t whole = delta / kPicosPerMhzCycle * clockMhz_;
  const SimTime rest = delta % kPicosPerMhzCycle;
  return baseCycles_ + whole + (rest * clockMhz_ + kPicosPerMhzCycle - 1) / kPicosPerMhzCycle;
}

void Bus::Reschedule(std::size_t index, SimTime deadline) {
  Attached& rescheduled = attached_[index];
  std::uint64_t cycle;
  if (deadline == kNever) {
    cycle = UINT64_MAX;
  } else if (deadline == rescheduled.deadlineTime && rescheduled.deadlineCycle > cycles_ &&
             rescheduled.deadlineCycle != UINT64_MAX) {
    cycle = rescheduled.deadlineCycle;  // the same time at the same clock: still ahead
  } else {
    cycle = std::max(CycleOf(deadline), cycles_);
  }
  rescheduled.deadlineTime = deadline;
  if (cycle == rescheduled.deadlineCycle) return;  // the earliest deadline stays as it is
  rescheduled.deadlineCycle = cycle;
  nextEventCycle_ = UINT64_MAX;
  for (const Attached& entry : attached_) {
    nextEventCycle_ = std::min(nextEventCycle_, entry.deadlineCycle);
  }
}

void Bus::Wake(Peripheral* peripheral) {
  if (peripheral == nullptr) return;
  Reschedule(IndexOf(peripheral), peripheral->Tick(Now()));
}

void Bus::ServiceDue() {
  // A peripheral's Tick may touch another's registers or wake it; loop until nothing due.
  while (cycles_ >= nextEventCycle_) {
    const SimTime now = Now();
    for (std::size_t i = 0; i < attached_.size(); ++i) {
      if (attached_[i].deadlineCycle <= cycles_) {
        attached_[i].deadlineCycle = UINT64_MAX;
        Reschedule(i, attached_[i].peripheral->Tick(now));
        // A deadline that is still now (or past) would spin; the peripheral gets it next cycle.
        if (attached_[i].deadlineCycle <= cycles_) {
          attached_[i].deadlineCycle = cycles_ + 1;
          attached_[i].deadlineTime = kNever;  // not the cycle of its time any more
        }
      }
    }
    nextEventCycle_ = UINT64_MAX;
    for (const Attached& entry : attached_) {
      nextEventCycle_ = std::min(nextEventCycle_, entry.deadlineCycle);
    }
  }
}

void Bus::Reset() {
  for (Attached& entry : attached_) entry.peripheral->Reset();
  unmodelled_ = unmodelledReset_;
  std::fill(touched_.begin(), touched_.end(), false);
  for (std::size_t i = 0; i < attached_.size(); ++i) {
    Reschedule(i, attached_[i].peripheral->Tick(Now()));
  }
}

}  // namespace vesk::sim
