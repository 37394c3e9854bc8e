#pragma once
// The FX2's 8051 core: every opcode (0xA5 faults), dual data pointer (DPS), MPAGE for
// MOVX @Ri, the FX2's extra interrupts (EXIF, EIE, EIP, EICON) with INT2/INT4
// autovectoring, timers 0, 1 and 2, and the DS80C320-style timing of 4 clocks a cycle
// with CKCON's MOVX stretch.
//
// The core owns these XDATA registers and attaches itself to the bus for them:
//   CPUCS     0xE600  bit 0 8051RES (set only by the host: holds the CPU in reset; clearing
//                     it restarts the CPU from 0x0000), bits 4:3 CLKSPD (12/24/48 MHz)
//   XAUTODAT1 0xE67B, XAUTODAT2 0xE67C  the autopointers' data registers
// and all core SFRs except those a peripheral was attached at with Bus::AttachSfr.
// SFRs nobody models keep what is written and read their reset value until then.
//
// Wait loops are fast-forwarded (on by default): when an iteration of a short loop reads
// only internal RAM, registers, XDATA RAM and peripheral registers whose reads are pure
// (Peripheral::ReadIsPure), writes only registers and internal RAM, and its effect on them
// repeats (each changed byte moves by the same amount every pass: a fixed point or
// counters), whole iterations are skipped up to the next peripheral deadline, the end of the
// run or the pass where the loop would leave its path. Cycles, instructions, time and the
// state left behind are exactly those of stepping through it; interrupts cannot arise in
// between since nothing happens until that deadline. The environment variable VESK_SIM_STEP
// turns it off in every core (SetFastForward in one).
//
// Port SFRs (IOA..IOE) read back their latch: no pins are modelled, so read-modify-write
// instructions and plain reads agree.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/bus.h"
#include "sim/peripheral.h"

namespace vesk::sim {

class LoopFastForward;

enum class CpuFault : std::uint8_t {
  None,
  UndefinedOpcode,      // 0xA5 executed at FaultPc()
  FetchOutsideMainRam,  // PC left 0x0000-0x3FFF (FaultPc() is where)
};

enum class StopReason : std::uint8_t { ReachedPc, CycleLimit, TimeReached, Fault, Changed };

class Cpu8051 final : public InterruptRequests {
 public:
  // SFR addresses the tests and peripherals name.
  enum Sfr : std::uint8_t {
    kIoa = 0x80,
    kSp = 0x81,
    kDpl0 = 0x82,
    kDph0 = 0x83,
    kDpl1 = 0x84,
    kDph1 = 0x85,
    kDps = 0x86,
    kPcon = 0x87,
    kTcon = 0x88,
    kTmod = 0x89,
    kTl0 = 0x8A,
    kTl1 = 0x8B,
    kTh0 = 0x8C,
    kTh1 = 0x8D,
    kCkcon = 0x8E,
    kIob = 0x90,
    kExif = 0x91,
    kMpage = 0x92,
    kScon0 = 0x98,
    kSbuf0 = 0x99,
    kAutoPtrH1 = 0x9A,
    kAutoPtrL1 = 0x9B,
    kAutoPtrH2 = 0x9D,
    kAutoPtrL2 = 0x9E,
    kIoc = 0xA0,
    kIe = 0xA8,
    kAutoPtrSetup = 0xAF,
    kIod = 0xB0,
    kIoe = 0xB1,
    kIp = 0xB8,
    kScon1 = 0xC0,
    kSbuf1 = 0xC1,
    kT2con = 0xC8,
    kRcap2l = 0xCA,
    kRcap2h = 0xCB,
    kTl2 = 0xCC,
    kTh2 = 0xCD,
    kPsw = 0xD0,
    kEicon = 0xD8,
    kAcc = 0xE0,
    kEie = 0xE8,
    kB = 0xF0,
    kEip = 0xF8,
  };
  // PSW's carry, auxiliary carry and overflow flags.
  static constexpr std::uint8_t kCy = 0x80, kAc = 0x40, kOv = 0x04;
  static constexpr std::uint16_t kCpucs = 0xE600;
  static constexpr std::uint16_t kInt2Ivec = 0xE666;
  static constexpr std::uint16_t kInt4Ivec = 0xE667;
  static constexpr std::uint16_t kIntSetup = 0xE668;
  static constexpr std::uint16_t kXautodat1 = 0xE67B;
  static constexpr std::uint16_t kXautodat2 = 0xE67C;

  // Attaches the core's XDATA registers to `bus`, which must outlive the core. The core
  // starts reset and running (not held), CPUCS = 0x02, 12 MHz.
  explicit Cpu8051(Bus& bus);
  ~Cpu8051() override;
  Cpu8051(const Cpu8051&) = delete;
  Cpu8051& operator=(const Cpu8051&) = delete;

  // The 8051's reset: SFRs to their reset values, PC = 0, fault and idle cleared, pending
  // interrupts dropped. Internal RAM and XDATA keep their contents; CPUCS keeps its clock
  // speed and hold bit.
  void Reset();

  // Holds the CPU in reset (as the host's write of CPUCS.8051RES = 1 does) or releases it,
  // which resets the core and runs from 0x0000.
  void SetHeld(bool held);
  bool Held() const { return held_; }

  // Executes one instruction, or takes one interrupt (its LCALL to the vector). While held,
  // idle or faulted, lets one machine cycle pass instead. Returns the cycles that passed.
  std::uint32_t Step();

  // Runs until PC == untilPc before an instruction (pass a value above 0xFFFF for none),
  // until `maxCycles` more machine cycles have passed on the bus, or until a fault (also
  // when already faulted). While held or idle, time jumps between peripheral deadlines.
  StopReason Run(std::uint64_t maxCycles, std::uint32_t untilPc = 0x10000);
  // Runs until Bus::Now() >= `time`. While the CPU is held, idle or faulted, time jumps
  // from one peripheral deadline to the next (the chip keeps running around a halted
  // core); returns Fault when the core is faulted at the end, else TimeReached. With
  // `stopAtChange` it also ends (Changed) once the bus holds a change mark, right after the
  // instruction that made it.
  StopReason RunUntil(SimTime time, bool stopAtChange = false);

  void RequestInterrupt(Interrupt source) override;

  // Turns the fast-forward of wait loops on or off (for comparing the two).
  void SetFastForward(bool on) { fastForward_ = on; }
  bool FastForward() const { return fastForward_; }
  // Instructions counted by the fast-forward without being executed one by one.
  std::uint64_t FastForwardedInstructions() const;

  // State for tests and tools.
  std::uint16_t Pc() const { return pc_; }
  void SetPc(std::uint16_t pc) { pc_ = pc; }
  std::uint8_t A() const { return acc_; }
  std::uint8_t B() const { return b_; }
  std::uint8_t Psw() const;  // with the parity bit of A
  std::uint8_t Sp() const { return sp_; }
  std::uint16_t Dptr(int which) const;  // 0 or 1
  std::uint8_t R(int n) const { return iram_[bank_ + (n & 7)]; }
  std::uint8_t Iram(std::uint8_t address) const { return iram_[address]; }
  void SetIram(std::uint8_t address, std::uint8_t value) { iram_[address] = value; }
  // As MOV A,direct / MOV direct,A would (including any peripheral owning the SFR).
  std::uint8_t ReadSfr(std::uint8_t address);
  void WriteSfr(std::uint8_t address, std::uint8_t value);
  std::uint8_t Cpucs() const;

  CpuFault Fault() const { return fault_; }
  std::uint16_t FaultPc() const { return faultPc_; }
  bool Idle() const { return idle_; }
  // Since construction (not cleared by Reset).
  std::uint64_t Instructions() const { return instructions_; }
  std::uint64_t Cycles() const { return cycles_; }
  std::uint64_t InterruptsTaken() const { return interruptsTaken_; }

  // Bytes the firmware wrote to SBUF0 (port 0) or SBUF1 (port 1). A byte leaves at once:
  // TI is set in the same instruction.
  std::vector<std::uint8_t> SerialOutput(int port) const;

  // Sorted, without duplicates: every SFR address accessed that nothing models.
  std::vector<std::uint8_t> TouchedUnmodelledSfrs() const;

 private:
  class OwnRegisters;
  friend class OwnRegisters;
  // The instruction set reaches the core's state through these (cpu8051_execute.cpp,
  // cpu8051_fast_forward.cpp).
  class StepAccess;
  friend class LoopFastForward;

  std::uint32_t Execute();
  static bool IsCoreSfrAddress(std::uint8_t address);
  // Step, then the fast-forward's try after a backward jump.
  void RunStep(std::uint64_t endCycle, std::uint32_t untilPc);
  std::uint32_t TakeInterrupt(int source);
  int PendingInterrupt() const;
  void UpdateInterruptPending();
  void UpdateTimers(std::uint32_t cycles);
  void UpdateTimersRunning();
  void UpdateAttention();
  std::uint8_t Direct(std::uint8_t address) {
    return address < 0x80 ? iram_[address] : ReadSfr(address);
  }
  void SetDirect(std::uint8_t address, std::uint8_t value) {
    if (address < 0x80) {
      iram_[address] = value;
    } else {
      WriteSfr(address, value);
    }
  }
  bool Bit(std::uint8_t bit);
  void SetBit(std::uint8_t bit, bool value);
  void SetPsw(std::uint8_t value);
  void Push(std::uint8_t value) { iram_[++sp_] = value; }
  std::uint8_t Pop() { return iram_[sp_--]; }
  std::uint8_t ReadMovx(std::uint16_t address);
  void WriteMovx(std::uint16_t address, std::uint8_t value);
  std::uint8_t CodeByte(std::uint16_t address);
  std::uint8_t Fetch() { return code_[pc_++]; }

  Bus& bus_;
  const std::uint8_t* code_;
  std::array<std::uint8_t, 256> iram_{};
  std::array<std::uint8_t, 128> sfr_{};  // storage for SFRs without their own member
  std::array<std::uint8_t, 128> sfrReset_{};
  std::array<bool, 128> sfrTouched_{};

  std::uint16_t pc_ = 0;
  std::uint8_t acc_ = 0;
  std::uint8_t b_ = 0;
  std::uint8_t psw_ = 0;  // without the parity bit
  std::uint8_t bank_ = 0;
  std::uint8_t sp_ = 7;
  std::array<std::uint16_t, 2> dptr_{};
  std::uint8_t dps_ = 0;
  std::uint8_t mpage_ = 0;
  std::uint32_t movxCycles_ = 3;

  // Interrupt state: the priority levels in progress (bit 0 low, bit 1 high).
  std::uint8_t inService_ = 0;
  bool irqCheck_ = false;
  bool irqBlockedOnce_ = false;
  bool autovectorArmed_ = false;
  std::uint8_t autovectorValue_ = 0;
  bool timersRunning_ = false;
  std::uint32_t timerPrescale_[3] = {};

  // Set when Step must look at more than the next opcode: held, idle, faulted or an
  // interrupt to evaluate.
  bool attention_ = false;
  bool held_ = false;
  bool idle_ = false;
  bool executing_ = false;
  CpuFault fault_ = CpuFault::None;
  std::uint16_t faultPc_ = 0;
  std::uint8_t cpucs_ = 0x02;

  std::uint64_t instructions_ = 0;
  std::uint64_t cycles_ = 0;
  std::uint64_t interruptsTaken_ = 0;
  std::array<std::vector<std::uint8_t>, 2> serialOut_;

  OwnRegisters* own_;

  std::unique_ptr<LoopFastForward> loopFastForward_;
  bool fastForward_ = true;
  // RunUntil is to end right after an instruction that leaves a change mark on the bus:
  // the fast-forward's real iteration must not run on past it.
  bool stopAtChange_ = false;
  bool StopsAtChange() const { return stopAtChange_ && bus_.ChangeTime() != kNever; }
};

}  // namespace vesk::sim
