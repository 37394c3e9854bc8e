#include "sim/cpu8051.h"

#include <algorithm>
#include <bit>
#include <cstdlib>

#include "sim/cpu8051_fast_forward.h"

namespace vesk::sim {

namespace {

// Cycles of the hardware LCALL that enters an interrupt routine.
constexpr std::uint32_t kInterruptCycles = 4;


struct InterruptSource {
  std::uint8_t flagSfr;
  std::uint8_t flagMask;
  std::uint8_t enableSfr;
  std::uint8_t enableMask;
  std::uint8_t prioritySfr;  // 0: always high priority
  std::uint8_t priorityMask;
  std::uint8_t clearMask;  // flag bits the CPU clears when it vectors (0: firmware clears)
};

// Indexed by the vector number; natural priority is this order (RESUME first).
constexpr InterruptSource kSources[13] = {
    {Cpu8051::kTcon, 0x02, Cpu8051::kIe, 0x01, Cpu8051::kIp, 0x01, 0x02},
    {Cpu8051::kTcon, 0x20, Cpu8051::kIe, 0x02, Cpu8051::kIp, 0x02, 0x20},
    {Cpu8051::kTcon, 0x08, Cpu8051::kIe, 0x04, Cpu8051::kIp, 0x04, 0x08},
    {Cpu8051::kTcon, 0x80, Cpu8051::kIe, 0x08, Cpu8051::kIp, 0x08, 0x80},
    {Cpu8051::kScon0, 0x03, Cpu8051::kIe, 0x10, Cpu8051::kIp, 0x10, 0},
    {Cpu8051::kT2con, 0xC0, Cpu8051::kIe, 0x20, Cpu8051::kIp, 0x20, 0},
    {Cpu8051::kEicon, 0x10, Cpu8051::kEicon, 0x20, 0, 0, 0},
    {Cpu8051::kScon1, 0x03, Cpu8051::kIe, 0x40, Cpu8051::kIp, 0x40, 0},
    {Cpu8051::kExif, 0x10, Cpu8051::kEie, 0x01, Cpu8051::kEip, 0x01, 0},
    {Cpu8051::kExif, 0x20, Cpu8051::kEie, 0x02, Cpu8051::kEip, 0x02, 0},
    {Cpu8051::kExif, 0x40, Cpu8051::kEie, 0x04, Cpu8051::kEip, 0x04, 0},
    {Cpu8051::kExif, 0x80, Cpu8051::kEie, 0x08, Cpu8051::kEip, 0x08, 0},
    {Cpu8051::kEicon, 0x08, Cpu8051::kEie, 0x10, Cpu8051::kEip, 0x10, 0},
};
constexpr int kNaturalOrder[13] = {6, 0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12};

bool IsInterruptSfr(std::uint8_t address) {
  switch (address) {
    case Cpu8051::kTcon:
    case Cpu8051::kScon0:
    case Cpu8051::kScon1:
    case Cpu8051::kT2con:
    case Cpu8051::kIe:
    case Cpu8051::kIp:
    case Cpu8051::kExif:
    case Cpu8051::kEie:
    case Cpu8051::kEip:
    case Cpu8051::kEicon:
      return true;
    default:
      return false;
  }
}

// SFRs the core keeps (directly or in sfr_ with their meaning); anything else is unmodelled.
bool IsCoreSfr(std::uint8_t address) {
  switch (address) {
    case 0x80:
    case 0x81:
    case 0x82:
    case 0x83:
    case 0x84:
    case 0x85:
    case 0x86:
    case 0x87:
    case 0x88:
    case 0x89:
    case 0x8A:
    case 0x8B:
    case 0x8C:
    case 0x8D:
    case 0x8E:
    case 0x90:
    case 0x91:
    case 0x92:
    case 0x98:
    case 0x99:
    case 0x9A:
    case 0x9B:
    case 0x9D:
    case 0x9E:
    case 0xA0:
    case 0xA8:
    case 0xAF:
    case 0xB0:
    case 0xB1:
    case 0xB8:
    case 0xC0:
    case 0xC1:
    case 0xC8:
    case 0xCA:
    case 0xCB:
    case 0xCC:
    case 0xCD:
    case 0xD0:
    case 0xD8:
    case 0xE0:
    case 0xE8:
    case 0xF0:
    case 0xF8:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool Cpu8051::IsCoreSfrAddress(std::uint8_t address) {
  return IsCoreSfr(address);
}

// CPUCS and the autopointer data registers: XDATA registers that belong to the core.
class Cpu8051::OwnRegisters final : public Peripheral {
 public:
  explicit OwnRegisters(Cpu8051& cpu) : cpu_(cpu) {}

  std::uint8_t ReadXdata(std::uint16_t address) override {
    if (address == kCpucs) return cpu_.Cpucs();
    return AutoData(address == kXautodat1 ? 0 : 1, nullptr);
  }

  void WriteXdata(std::uint16_t address, std::uint8_t value) override {
    if (address == kCpucs) {
      WriteCpucs(value);
      return;
    }
    AutoData(address == kXautodat1 ? 0 : 1, &value);
  }

 private:
  void WriteCpucs(std::uint8_t value) {
    // Bit 0 is read-only to the 8051 itself; only the host's 0xA0 request reaches it.
    const bool hold = cpu_.executing_ ? cpu_.held_ : (value & 0x01) != 0;
    cpu_.cpucs_ = value & 0x3E;
    static constexpr unsigned kMhz[4] = {12, 24, 48, 48};
    cpu_.bus_.SetClockMhz(kMhz[(value >> 3) & 3]);
    if (hold != cpu_.held_) cpu_.SetHeld(hold);
  }

  // One access to XAUTODATn: through autopointer n when AUTOPTRSETUP.APTREN is set.
  std::uint8_t AutoData(int pointer, const std::uint8_t* write) {
    std::uint8_t* sfr = cpu_.sfr_.data() - 0x80;
    const std::uint8_t setup = sfr[kAutoPtrSetup];
    if ((setup & 0x01) == 0) return 0xFF;
    const std::uint8_t high = pointer == 0 ? kAutoPtrH1 : kAutoPtrH2;
    const std::uint8_t low = pointer == 0 ? kAutoPtrL1 : kAutoPtrL2;
    const std::uint16_t target = static_cast<std::uint16_t>(sfr[high] << 8 | sfr[low]);
    std::uint8_t value = 0xFF;
    if (target != kXautodat1 && target != kXautodat2) {
      if (write != nullptr) {
        cpu_.bus_.WriteXdata(target, *write);
      } else {
        value = cpu_.bus_.ReadXdata(target);
      }
    }
    if (setup & (pointer == 0 ? 0x02 : 0x04)) {
      const std::uint16_t next = static_cast<std::uint16_t>(target + 1);
      sfr[high] = static_cast<std::uint8_t>(next >> 8);
      sfr[low] = static_cast<std::uint8_t>(next);
    }
    return value;
  }

  Cpu8051& cpu_;
};

Cpu8051::Cpu8051(Bus& bus)
    : bus_(bus),
      code_(bus.CodeSpace()),
      own_(new OwnRegisters(*this)),
      loopFastForward_(std::make_unique<LoopFastForward>(*this)) {
  sfrReset_.fill(0);
  auto resetValue = [this](std::uint8_t address, std::uint8_t value) {
    sfrReset_[address - 0x80] = value;
  };
  resetValue(kSp, 0x07);
  resetValue(kPcon, 0x30);
  resetValue(kCkcon, 0x01);
  resetValue(kExif, 0x08);
  resetValue(kIp, 0x80);
  resetValue(kAutoPtrSetup, 0x06);
  resetValue(kEicon, 0x40);
  resetValue(kEie, 0xE0);
  resetValue(kEip, 0xE0);
  bus_.AttachXdata(kCpucs, kCpucs, own_);
  bus_.AttachXdata(kXautodat1, kXautodat2, own_);
  Reset();
}

Cpu8051::~Cpu8051() {
  delete own_;
}

std::uint64_t Cpu8051::FastForwardedInstructions() const {
  return loopFastForward_->Skipped();
}

void Cpu8051::Reset() {
  sfr_ = sfrReset_;
  sfrTouched_.fill(false);
  pc_ = 0;
  acc_ = 0;
  b_ = 0;
  SetPsw(0);
  sp_ = 0x07;
  dptr_ = {0, 0};
  dps_ = 0;
  mpage_ = 0;
  movxCycles_ = 3;
  inService_ = 0;
  irqCheck_ = false;
  irqBlockedOnce_ = false;
  autovectorArmed_ = false;
  timersRunning_ = false;
  for (auto& prescale : timerPrescale_) prescale = 0;
  idle_ = false;
  fault_ = CpuFault::None;
  faultPc_ = 0;
  UpdateAttention();
}

void Cpu8051::SetHeld(bool held) {
  held_ = held;
  if (!held) Reset();
  UpdateAttention();
}

std::uint8_t Cpu8051::Cpucs() const {
  return static_cast<std::uint8_t>(cpucs_ | (held_ ? 1 : 0));
}

std::uint8_t Cpu8051::Psw() const {
  return static_cast<std::uint8_t>(psw_ | (std::popcount(acc_) & 1));
}

std::uint16_t Cpu8051::Dptr(int which) const {
  return dptr_[which & 1];
}

void Cpu8051::SetPsw(std::uint8_t value) {
  psw_ = value & 0xFE;
  bank_ = value & 0x18;
}

void Cpu8051::UpdateAttention() {
  attention_ = held_ || idle_ || fault_ != CpuFault::None || irqCheck_;
}

std::vector<std::uint8_t> Cpu8051::TouchedUnmodelledSfrs() const {
  std::vector<std::uint8_t> result;
  for (unsigned i = 0; i < 128; ++i) {
    if (sfrTouched_[i]) result.push_back(static_cast<std::uint8_t>(0x80 + i));
  }
  return result;
}

std::vector<std::uint8_t> Cpu8051::SerialOutput(int port) const {
  return serialOut_[port & 1];
}

std::uint8_t Cpu8051::ReadSfr(std::uint8_t address) {
  if (bus_.SfrOwner(address) != nullptr) return bus_.ReadSfr(address);
  switch (address) {
    case kAcc:
      return acc_;
    case kB:
      return b_;
    case kPsw:
      return Psw();
    case kSp:
      return sp_;
    case kDpl0:
      return static_cast<std::uint8_t>(dptr_[0]);
    case kDph0:
      return static_cast<std::uint8_t>(dptr_[0] >> 8);
    case kDpl1:
      return static_cast<std::uint8_t>(dptr_[1]);
    case kDph1:
      return static_cast<std::uint8_t>(dptr_[1] >> 8);
    case kDps:
      return dps_;
    case kMpage:
      return mpage_;
    default:
      if (!IsCoreSfr(address)) sfrTouched_[address - 0x80] = true;
      return sfr_[address - 0x80];
  }
}

void Cpu8051::WriteSfr(std::uint8_t address, std::uint8_t value) {
  if (bus_.SfrOwner(address) != nullptr) {
    bus_.WriteSfr(address, value);
    return;
  }
  switch (address) {
    case kAcc:
      acc_ = value;
      return;
    case kB:
      b_ = value;
      return;
    case kPsw:
      SetPsw(value);
      return;
    case kSp:
      sp_ = value;
      return;
    case kDpl0:
      dptr_[0] = static_cast<std::uint16_t>((dptr_[0] & 0xFF00) | value);
      return;
    case kDph0:
      dptr_[0] = static_cast<std::uint16_t>((dptr_[0] & 0x00FF) | value << 8);
      return;
    case kDpl1:
      dptr_[1] = static_cast<std::uint16_t>((dptr_[1] & 0xFF00) | value);
      return;
    case kDph1:
      dptr_[1] = static_cast<std::uint16_t>((dptr_[1] & 0x00FF) | value << 8);
      return;
    case kDps:
      dps_ = value & 0x01;
      return;
    case kMpage:
      mpage_ = value;
      return;
    default:
      break;
  }
  std::uint8_t& stored = sfr_[address - 0x80];
  switch (address) {
    case kCkcon:
      stored = value;
      // MD2..0: a MOVX takes 2 + MD machine cycles (the reset value 1 gives 3).
      movxCycles_ = 2 + (value & 0x07);
      return;
    case kExif:
      // Bits 2..0 read as the reset pattern; bit 3 reads 1.
      stored = static_cast<std::uint8_t>((value & 0xF0) | 0x08);
      bus_.MarkChange();
      break;
    case kPcon:
      stored = value;
      if (value & 0x01) {
        idle_ = true;
        stored &= 0xFE;
        UpdateAttention();
      }
      return;
    case kSbuf0:
    case kSbuf1: {
      const int port = address == kSbuf0 ? 0 : 1;
      serialOut_[port].push_back(value);
      // The byte leaves at once: TI is set for code that waits for it.
      sfr_[(port == 0 ? kScon0 : kScon1) - 0x80] |= 0x02;
      stored = value;
      irqCheck_ = true;
      UpdateAttention();
      return;
    }
    case kIe:
    case kIp:
    case kEie:
    case kEip:
      // Reserved bits read 1: IP bit 7, EIE/EIP bits 7..5.
      stored = address == kIp   ? (value | 0x80)
               : address == kIe ? value
                                : static_cast<std::uint8_t>(value | 0xE0);
      irqBlockedOnce_ = true;
      break;
    case kEicon:
      stored = value | 0x40;
      break;
    case kTcon:
    case kT2con:
      stored = value;
      UpdateTimersRunning();
      break;
    default:
      if (!IsCoreSfr(address)) sfrTouched_[address - 0x80] = true;
      stored = value;
      break;
  }
  if (IsInterruptSfr(address)) {
    irqCheck_ = true;
    UpdateAttention();
  }
}

bool Cpu8051::Bit(std::uint8_t bit) {
  if (bit < 0x80) return (iram_[0x20 + (bit >> 3)] >> (bit & 7)) & 1;
  return (ReadSfr(bit & 0xF8) >> (bit & 7)) & 1;
}

void Cpu8051::SetBit(std::uint8_t bit, bool value) {
  const std::uint8_t mask = static_cast<std::uint8_t>(1u << (bit & 7));
  if (bit < 0x80) {
    std::uint8_t& byte = iram_[0x20 + (bit >> 3)];
    byte = value ? (byte | mask) : (byte & ~mask);
    return;
  }
  const std::uint8_t address = bit & 0xF8;
  const std::uint8_t old = ReadSfr(address);
  WriteSfr(address, static_cast<std::uint8_t>(value ? (old | mask) : (old & ~mask)));
}

std::uint8_t Cpu8051::ReadMovx(std::uint16_t address) {
  if (std::uint8_t* page = bus_.RamPage(address >> 8)) return page[address & 0xFF];
  return bus_.ReadXdata(address);
}

void Cpu8051::WriteMovx(std::uint16_t address, std::uint8_t value) {
  if (std::uint8_t* page = bus_.RamPage(address >> 8)) {
    page[address & 0xFF] = value;
    return;
  }
  bus_.WriteXdata(address, value);
}

std::uint8_t Cpu8051::CodeByte(std::uint16_t address) {
  return address < Bus::kMainRamSize ? code_[address] : 0xFF;
}

void Cpu8051::RequestInterrupt(Interrupt source) {
  const InterruptSource& entry = kSources[static_cast<int>(source)];
  std::uint8_t& flags = sfr_[entry.flagSfr - 0x80];
  // Serial interrupts signal "received" (RI); timer 2 signals TF2.
  std::uint8_t set = entry.flagMask;
  if (entry.flagSfr == kScon0 || entry.flagSfr == kScon1) set = 0x01;
  if (entry.flagSfr == kT2con) set = 0x80;
  flags |= set;
  irqCheck_ = true;
  UpdateAttention();
}

int Cpu8051::PendingInterrupt() const {
  const std::uint8_t* sfr = sfr_.data() - 0x80;
  if ((sfr[kIe] & 0x80) == 0) return -1;
  if (inService_ & 0x02) return -1;
  int low = -1;
  for (int source : kNaturalOrder) {
    // The FX2 leaves its idle mode only for the wakeup (RESUME) interrupt; every other
    // request stays pending until then.
    if (idle_ && source != static_cast<int>(Interrupt::Resume)) continue;
    const InterruptSource& entry = kSources[source];
    if ((sfr[entry.flagSfr] & entry.flagMask) == 0) continue;
    if ((sfr[entry.enableSfr] & entry.enableMask) == 0) continue;
    const bool high = entry.prioritySfr == 0 || (sfr[entry.prioritySfr] & entry.priorityMask) != 0;
    if (high) return source;
    if (low < 0) low = source;
  }
  if (inService_ & 0x01) return -1;
  return low;
}

std::uint32_t Cpu8051::TakeInterrupt(int source) {
  const InterruptSource& entry = kSources[source];
  const std::uint8_t* sfr = sfr_.data() - 0x80;
  const bool high = entry.prioritySfr == 0 || (sfr[entry.prioritySfr] & entry.priorityMask) != 0;
  inService_ |= high ? 0x02 : 0x01;
  if (entry.clearMask != 0) {
    // INT0/INT1 flags clear only when edge-triggered (IT0/IT1); timers' always.
    std::uint8_t clear = entry.clearMask;
    if (source == 0 && (sfr[kTcon] & 0x01) == 0) clear = 0;
    if (source == 2 && (sfr[kTcon] & 0x04) == 0) clear = 0;
    sfr_[entry.flagSfr - 0x80] &= static_cast<std::uint8_t>(~clear);
  }
  Push(static_cast<std::uint8_t>(pc_));
  Push(static_cast<std::uint8_t>(pc_ >> 8));
  pc_ = static_cast<std::uint16_t>(0x0003 + 8 * source);
  idle_ = false;
  ++interruptsTaken_;
  if (source == 8 || source == 10) {
    const std::uint8_t setup = bus_.ReadXdata(kIntSetup);
    const bool enabled = source == 8 ? (setup & 0x08) != 0 : (setup & 0x01) != 0;
    if (enabled && code_[pc_] == 0x02) {
      autovectorArmed_ = true;
      autovectorValue_ = bus_.ReadXdata(source == 8 ? kInt2Ivec : kInt4Ivec);
    }
  }
  return kInterruptCycles;
}

void Cpu8051::UpdateTimersRunning() {
  const std::uint8_t* sfr = sfr_.data() - 0x80;
  timersRunning_ = (sfr[kTcon] & 0x50) != 0 || (sfr[kT2con] & 0x04) != 0;
}

void Cpu8051::UpdateTimers(std::uint32_t cycles) {
  std::uint8_t* sfr = sfr_.data() - 0x80;
  const std::uint8_t tmod = sfr[kTmod];
  const std::uint8_t ckcon = sfr[kCkcon];
  std::uint8_t& tcon = sfr[kTcon];
  const std::uint8_t tconBefore = tcon;
  // Counts for timer n: CKCON.TnM selects clock/4 (one count a machine cycle) or clock/12.
  auto counts = [&](int timer) -> std::uint32_t {
    if (ckcon & (0x08 << timer)) return cycles;
    timerPrescale_[timer] += cycles;
    const std::uint32_t whole = timerPrescale_[timer] / 3;
    timerPrescale_[timer] -= whole * 3;
    return whole;
  };
  // Counts an 8-bit register up; returns true on overflow. `reload` < 0: wraps to 0.
  auto count8 = [](std::uint8_t& reg, std::uint32_t n, int reload) {
    bool overflow = false;
    std::uint32_t value = reg + n;
    if (value > 0xFF) {
      overflow = true;
      if (reload < 0) {
        value &= 0xFF;
      } else {
        const std::uint32_t period = 256 - static_cast<std::uint32_t>(reload);
        value = static_cast<std::uint32_t>(reload) + (value - 256) % period;
      }
    }
    reg = static_cast<std::uint8_t>(value);
    return overflow;
  };
  auto countTimer = [&](int timer, std::uint8_t mode, std::uint8_t& tl, std::uint8_t& th) {
    const std::uint32_t n = counts(timer);
    if (n == 0) return false;
    switch (mode & 3) {
      case 0: {  // 13 bits: TL's low 5 bits below TH
        std::uint32_t value = ((th << 5) | (tl & 0x1F)) + n;
        const bool overflow = value > 0x1FFF;
        value &= 0x1FFF;
        th = static_cast<std::uint8_t>(value >> 5);
        tl = static_cast<std::uint8_t>((tl & 0xE0) | (value & 0x1F));
        return overflow;
      }
      case 1: {
        std::uint32_t value = ((th << 8) | tl) + n;
        const bool overflow = value > 0xFFFF;
        th = static_cast<std::uint8_t>(value >> 8);
        tl = static_cast<std::uint8_t>(value);
        return overflow;
      }
      case 2:
        return count8(tl, n, th);
      default:
        return count8(tl, n, -1);
    }
  };
  const std::uint8_t mode0 = tmod & 0x03;
  const std::uint8_t mode1 = (tmod >> 4) & 0x03;
  // Counter mode (C/T set) counts pin edges; no pins are modelled, so it stands still.
  if ((tcon & 0x10) && (tmod & 0x04) == 0) {
    if (countTimer(0, mode0, sfr[kTl0], sfr[kTh0])) tcon |= 0x20;
  }
  if (mode0 == 3) {
    // Mode 3: TH0 is a second 8-bit timer run by TR1 that sets TF1; timer 1 keeps counting
    // but has no flag.
    if ((tcon & 0x40) && count8(sfr[kTh0], counts(1), -1)) tcon |= 0x80;
  } else if ((tcon & 0x40) && (tmod & 0x40) == 0 && mode1 != 3) {
    if (countTimer(1, mode1, sfr[kTl1], sfr[kTh1])) tcon |= 0x80;
  }
  std::uint8_t& t2con = sfr[kT2con];
  if ((t2con & 0x04) && (t2con & 0x02) == 0) {
    const std::uint32_t n = counts(2);
    std::uint32_t value = ((sfr[kTh2] << 8) | sfr[kTl2]) + n;
    if (value > 0xFFFF) {
      const bool baud = (t2con & 0x30) != 0;
      if (!baud) t2con |= 0x80;
      if (baud || (t2con & 0x01) == 0) {
        const std::uint32_t reload = (sfr[kRcap2h] << 8) | sfr[kRcap2l];
        value = reload + (value - 0x10000) % (0x10000 - reload);
      } else {
        value &= 0xFFFF;
      }
      irqCheck_ = true;
    }
    sfr[kTh2] = static_cast<std::uint8_t>(value >> 8);
    sfr[kTl2] = static_cast<std::uint8_t>(value);
  }
  if (tcon != tconBefore) irqCheck_ = true;
  if (irqCheck_) UpdateAttention();
}

std::uint32_t Cpu8051::Step() {
  std::uint32_t cycles;
  if (attention_) {
    if (held_ || fault_ != CpuFault::None) {
      bus_.AdvanceCycles(1);
      return 1;
    }
    if (irqCheck_) {
      if (irqBlockedOnce_) {
        irqBlockedOnce_ = false;
      } else {
        const int source = PendingInterrupt();
        if (source >= 0) {
          cycles = TakeInterrupt(source);
          cycles_ += cycles;
          UpdateAttention();
          if (timersRunning_) UpdateTimers(cycles);
          bus_.AdvanceCycles(cycles);
          return cycles;
        }
        irqCheck_ = false;
        UpdateAttention();
      }
    }
    if (idle_) {
      if (timersRunning_) UpdateTimers(1);
      bus_.AdvanceCycles(1);
      return 1;
    }
  }
  executing_ = true;
  cycles = Execute();
  executing_ = false;
  if (fault_ == CpuFault::None) ++instructions_;
  cycles_ += cycles;
  if (timersRunning_) UpdateTimers(cycles);
  bus_.AdvanceCycles(cycles);
  return cycles;
}

inline void Cpu8051::RunStep(std::uint64_t endCycle, std::uint32_t untilPc) {
  const std::uint16_t before = pc_;
  Step();
  if (pc_ <= before && fastForward_) [[unlikely]]
    loopFastForward_->Try(endCycle, untilPc);
}

StopReason Cpu8051::Run(std::uint64_t maxCycles, std::uint32_t untilPc) {
  const std::uint64_t end = bus_.ElapsedCycles() + maxCycles;
  while (bus_.ElapsedCycles() < end) {
    if (attention_) [[unlikely]] {
      if (fault_ != CpuFault::None) return StopReason::Fault;
      if (held_ || (idle_ && !irqCheck_ && !timersRunning_)) {
        if (idle_ && pc_ == untilPc) return StopReason::ReachedPc;
        const std::uint64_t now = bus_.ElapsedCycles();
        const std::uint64_t next = std::min(end, bus_.NextEventCycle());
        bus_.AdvanceCycles(static_cast<std::uint32_t>(
            std::min<std::uint64_t>(next > now ? next - now : 1, 0x7FFFFFFF)));
        continue;
      }
    }
    if (pc_ == untilPc) return StopReason::ReachedPc;
    RunStep(end, untilPc);
  }
  if (fault_ != CpuFault::None) return StopReason::Fault;
  return StopReason::CycleLimit;
}

StopReason Cpu8051::RunUntil(SimTime time, bool stopAtChange) {
  // Now() < time exactly while the cycle count is below the first cycle at `time`; that
  // cycle moves when the firmware changes the clock speed.
  stopAtChange_ = stopAtChange;
  for (;;) {
    const unsigned mhz = bus_.ClockMhz();
    const std::uint64_t end = bus_.FirstCycleAt(time);
    if (bus_.ElapsedCycles() >= end) break;
    while (bus_.ElapsedCycles() < end && bus_.ClockMhz() == mhz) {
      if (StopsAtChange()) [[unlikely]] {
        stopAtChange_ = false;
        return StopReason::Changed;
      }
      if (held_ || fault_ != CpuFault::None || (idle_ && !irqCheck_ && !timersRunning_)) {
        // Jump to the earlier of the next peripheral deadline and the target time.
        const std::uint64_t now = bus_.ElapsedCycles();
        const std::uint64_t target = std::min(end, bus_.NextEventCycle());
        const std::uint64_t delta = target > now ? target - now : 1;
        bus_.AdvanceCycles(static_cast<std::uint32_t>(std::min<std::uint64_t>(delta, 0x7FFFFFFF)));
        continue;
      }
      RunStep(end, 0x10000);
    }
  }
  stopAtChange_ = false;
  return fault_ != CpuFault::None ? StopReason::Fault : StopReason::TimeReached;
}

}  // namespace vesk::sim
