// Stepping: the instruction set on the core's own registers and memories.

#include "sim/cpu8051.h"
#include "sim/cpu8051_instructions.h"

namespace vesk::sim {

class Cpu8051::StepAccess {
 public:
  explicit StepAccess(Cpu8051& cpu) : c_(cpu) {}

  std::uint16_t Pc() const { return c_.pc_; }
  void SetPc(std::uint16_t pc) { c_.pc_ = pc; }
  std::uint8_t Fetch() { return c_.Fetch(); }
  std::uint8_t CodeByte(std::uint16_t address) { return c_.CodeByte(address); }
  std::uint8_t A() const { return c_.acc_; }
  void SetA(std::uint8_t value) { c_.acc_ = value; }
  std::uint8_t B() const { return c_.b_; }
  void SetB(std::uint8_t value) { c_.b_ = value; }
  std::uint8_t Flags() const { return c_.psw_; }
  void SetFlags(std::uint8_t value) { c_.psw_ = value; }
  std::uint8_t R(int n) const { return c_.iram_[c_.bank_ + n]; }
  void SetR(int n, std::uint8_t value) { c_.iram_[c_.bank_ + n] = value; }
  std::uint8_t RiAddress(int n) const { return c_.iram_[c_.bank_ + n]; }
  std::uint8_t Iram(std::uint8_t address) const { return c_.iram_[address]; }
  void SetIram(std::uint8_t address, std::uint8_t value) { c_.iram_[address] = value; }
  std::uint8_t Direct(std::uint8_t address) { return c_.Direct(address); }
  void SetDirect(std::uint8_t address, std::uint8_t value) { c_.SetDirect(address, value); }
  bool Bit(std::uint8_t bit) { return c_.Bit(bit); }
  void SetBit(std::uint8_t bit, bool value) { c_.SetBit(bit, value); }
  std::uint16_t Dptr() const { return c_.dptr_[c_.dps_ & 1]; }
  void SetDptr(std::uint16_t value) { c_.dptr_[c_.dps_ & 1] = value; }
  std::uint8_t Mpage() const { return c_.mpage_; }
  std::uint8_t ReadXdata(std::uint16_t address) { return c_.ReadMovx(address); }
  void WriteXdata(std::uint16_t address, std::uint8_t value) { c_.WriteMovx(address, value); }
  std::uint32_t MovxCycles() const { return c_.movxCycles_; }
  void Push(std::uint8_t value) { c_.Push(value); }
  std::uint8_t Pop() { return c_.Pop(); }

  std::uint8_t LjmpLow(std::uint16_t start, std::uint8_t low) {
    if (c_.autovectorArmed_) [[unlikely]] {
      // INT2/INT4 autovectoring: the chip puts INTnIVEC in place of the jump's low byte.
      c_.autovectorArmed_ = false;
      if (start == 0x0043 || start == 0x0053) return c_.autovectorValue_;
    }
    return low;
  }

  void ReturnFromInterrupt() {
    if (c_.inService_ & 0x02) {
      c_.inService_ &= 0x01;
    } else {
      c_.inService_ = 0;
    }
    // One more instruction runs before the next interrupt is taken.
    c_.irqCheck_ = true;
    c_.irqBlockedOnce_ = true;
    c_.UpdateAttention();
  }

  void UndefinedOpcode(std::uint16_t start) {
    c_.fault_ =
        start >= Bus::kMainRamSize ? CpuFault::FetchOutsideMainRam : CpuFault::UndefinedOpcode;
    c_.faultPc_ = start;
    c_.pc_ = start;
    c_.UpdateAttention();
  }

 private:
  Cpu8051& c_;
};

std::uint32_t Cpu8051::Execute() {
  StepAccess access(*this);
  return instructions::ExecuteInstruction(access);
}

}  // namespace vesk::sim
