// The instruction set: one case per opcode family, in opcode order.

#include "sim/cpu8051.h"

namespace vesk::sim {

namespace {

// DS80C320 machine cycles per opcode (4 clocks each), the FX2's table. MOVX entries hold
// the unstretched 2 cycles; CKCON's stretch is added at run time. 0xA5 is undefined.
constexpr std::uint8_t kCycles[256] = {
    //       0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F
    /* 0 */ 1, 3, 4, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    /* 1 */ 4, 3, 4, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    /* 2 */ 4, 3, 4, 1, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    /* 3 */ 4, 3, 4, 1, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    /* 4 */ 3, 3, 2, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    /* 5 */ 3, 3, 2, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    /* 6 */ 3, 3, 2, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    /* 7 */ 3, 3, 2, 3, 2, 3, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    /* 8 */ 3, 3, 2, 3, 5, 3, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    /* 9 */ 3, 3, 2, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    /* A */ 2, 3, 2, 3, 5, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    /* B */ 2, 3, 2, 1, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4,
    /* C */ 2, 3, 2, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    /* D */ 2, 3, 2, 1, 1, 4, 1, 1, 3, 3, 3, 3, 3, 3, 3, 3,
    /* E */ 2, 3, 2, 2, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    /* F */ 2, 3, 2, 2, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
};


#define CASE_RI(base) \
  case base:          \
  case base + 1
#define CASE_RN(base) \
  case base:          \
  case base + 1:      \
  case base + 2:      \
  case base + 3:      \
  case base + 4:      \
  case base + 5:      \
  case base + 6:      \
  case base + 7
// The arithmetic and logic rows: #imm, direct, @R0, @R1, R0..R7 at low nibbles 4..F.
#define CASE_SOURCES(base) \
  case base:               \
  case base + 1:           \
    CASE_RI(base + 2) : CASE_RN(base + 4)

}  // namespace

std::uint32_t Cpu8051::Execute() {
  const std::uint16_t start = pc_;
  const std::uint8_t op = Fetch();
  std::uint32_t cycles = kCycles[op];
  auto rn = [&]() -> std::uint8_t& { return iram_[bank_ + (op & 7)]; };
  auto at_ri = [&]() -> std::uint8_t& { return iram_[iram_[bank_ + (op & 1)]]; };
  auto source = [&]() -> std::uint8_t {
    switch (op & 0x0F) {
      case 4:
        return Fetch();
      case 5:
        return Direct(Fetch());
      case 6:
      case 7:
        return at_ri();
      default:
        return rn();
    }
  };
  auto relative_jump = [&](std::uint8_t offset) {
    pc_ = static_cast<std::uint16_t>(pc_ + static_cast<std::int8_t>(offset));
  };
  auto carry = [&]() { return (psw_ & kCy) != 0; };
  auto set_carry = [&](bool value) {
    psw_ = static_cast<std::uint8_t>(value ? (psw_ | kCy) : (psw_ & ~kCy));
  };
  auto push_pc = [&]() {
    Push(static_cast<std::uint8_t>(pc_));
    Push(static_cast<std::uint8_t>(pc_ >> 8));
  };
  auto pop_pc = [&]() {
    const std::uint8_t high = Pop();
    const std::uint8_t low = Pop();
    pc_ = static_cast<std::uint16_t>(high << 8 | low);
  };

  switch (op) {
    case 0x00:  // NOP
      break;
    case 0x01:
    case 0x21:
    case 0x41:
    case 0x61:
    case 0x81:
    case 0xA1:
    case 0xC1:
    case 0xE1: {
      const std::uint8_t low = Fetch();  // AJMP
      pc_ = static_cast<std::uint16_t>((pc_ & 0xF800) | (op & 0xE0) << 3 | low);
      break;
    }
    case 0x11:
    case 0x31:
    case 0x51:
    case 0x71:
    case 0x91:
    case 0xB1:
    case 0xD1:
    case 0xF1: {
      const std::uint8_t low = Fetch();  // ACALL
      push_pc();
      pc_ = static_cast<std::uint16_t>((pc_ & 0xF800) | (op & 0xE0) << 3 | low);
      break;
    }
    case 0x02: {  // LJMP
      const std::uint8_t high = Fetch();
      std::uint8_t low = Fetch();
      if (autovector_armed_) [[unlikely]] {
        // INT2/INT4 autovectoring: the chip puts INTnIVEC in place of the jump's low byte.
        autovector_armed_ = false;
        if (start == 0x0043 || start == 0x0053) low = autovector_value_;
      }
      pc_ = static_cast<std::uint16_t>(high << 8 | low);
      break;
    }
    case 0x12: {  // LCALL
      const std::uint8_t high = Fetch();
      const std::uint8_t low = Fetch();
      push_pc();
      pc_ = static_cast<std::uint16_t>(high << 8 | low);
      break;
    }
    case 0x22:  // RET
      pop_pc();
      break;
    case 0x32:  // RETI
      pop_pc();
      if (in_service_ & 0x02) {
        in_service_ &= 0x01;
      } else {
        in_service_ = 0;
      }
      // One more instruction runs before the next interrupt is taken.
      irq_check_ = true;
      irq_blocked_once_ = true;
      UpdateAttention();
      break;
    case 0x03:  // RR A
      acc_ = static_cast<std::uint8_t>(acc_ >> 1 | acc_ << 7);
      break;
    case 0x13: {  // RRC A
      const bool out = acc_ & 1;
      acc_ = static_cast<std::uint8_t>(acc_ >> 1 | (carry() ? 0x80 : 0));
      set_carry(out);
      break;
    }
    case 0x23:  // RL A
      acc_ = static_cast<std::uint8_t>(acc_ << 1 | acc_ >> 7);
      break;
    case 0x33: {  // RLC A
      const bool out = acc_ & 0x80;
      acc_ = static_cast<std::uint8_t>(acc_ << 1 | (carry() ? 1 : 0));
      set_carry(out);
      break;
    }
    case 0x04:
      ++acc_;
      break;
    case 0x05: {
      const std::uint8_t address = Fetch();
      SetDirect(address, static_cast<std::uint8_t>(Direct(address) + 1));
      break;
    }
      CASE_RI(0x06) : ++at_ri();
      break;
      CASE_RN(0x08) : ++rn();
      break;
    case 0x14:
      --acc_;
      break;
    case 0x15: {
      const std::uint8_t address = Fetch();
      SetDirect(address, static_cast<std::uint8_t>(Direct(address) - 1));
      break;
    }
      CASE_RI(0x16) : --at_ri();
      break;
      CASE_RN(0x18) : --rn();
      break;
    case 0x10: {  // JBC bit, rel
      const std::uint8_t bit = Fetch();
      const std::uint8_t offset = Fetch();
      if (Bit(bit)) {
        SetBit(bit, false);
        relative_jump(offset);
      }
      break;
    }
    case 0x20:
    case 0x30: {  // JB / JNB bit, rel
      const std::uint8_t bit = Fetch();
      const std::uint8_t offset = Fetch();
      if (Bit(bit) == (op == 0x20)) relative_jump(offset);
      break;
    }
      CASE_SOURCES(0x24) : Add(source(), false);
      break;
      CASE_SOURCES(0x34) : Add(source(), carry());
      break;
    case 0x40:
    case 0x50: {  // JC / JNC
      const std::uint8_t offset = Fetch();
      if (carry() == (op == 0x40)) relative_jump(offset);
      break;
    }
    case 0x60:
    case 0x70: {  // JZ / JNZ
      const std::uint8_t offset = Fetch();
      if ((acc_ == 0) == (op == 0x60)) relative_jump(offset);
      break;
    }
    case 0x42:
    case 0x52:
    case 0x62: {  // ORL/ANL/XRL direct, A
      const std::uint8_t address = Fetch();
      const std::uint8_t value = Direct(address);
      SetDirect(address, static_cast<std::uint8_t>(op == 0x42   ? value | acc_
                                                   : op == 0x52 ? value & acc_
                                                                : value ^ acc_));
      break;
    }
    case 0x43:
    case 0x53:
    case 0x63: {  // ORL/ANL/XRL direct, #imm
      const std::uint8_t address = Fetch();
      const std::uint8_t operand = Fetch();
      const std::uint8_t value = Direct(address);
      SetDirect(address, static_cast<std::uint8_t>(op == 0x43   ? value | operand
                                                   : op == 0x53 ? value & operand
                                                                : value ^ operand));
      break;
    }
      CASE_SOURCES(0x44) : acc_ |= source();
      break;
      CASE_SOURCES(0x54) : acc_ &= source();
      break;
      CASE_SOURCES(0x64) : acc_ ^= source();
      break;
    case 0x72:  // ORL C, bit
      if (Bit(Fetch())) set_carry(true);
      break;
    case 0xA0:  // ORL C, /bit
      if (!Bit(Fetch())) set_carry(true);
      break;
    case 0x82:  // ANL C, bit
      if (!Bit(Fetch())) set_carry(false);
      break;
    case 0xB0:  // ANL C, /bit
      if (Bit(Fetch())) set_carry(false);
      break;
    case 0x73:  // JMP @A+DPTR
      pc_ = static_cast<std::uint16_t>(Dptr() + acc_);
      break;
    case 0x74:
      acc_ = Fetch();
      break;
    case 0x75: {
      const std::uint8_t address = Fetch();
      SetDirect(address, Fetch());
      break;
    }
      CASE_RI(0x76) : at_ri() = Fetch();
      break;
      CASE_RN(0x78) : rn() = Fetch();
      break;
    case 0x80:
      relative_jump(Fetch());
      break;
    case 0x83:  // MOVC A, @A+PC
      acc_ = CodeByte(static_cast<std::uint16_t>(pc_ + acc_));
      break;
    case 0x93:  // MOVC A, @A+DPTR
      acc_ = CodeByte(static_cast<std::uint16_t>(Dptr() + acc_));
      break;
    case 0x84: {  // DIV AB
      std::uint8_t flags = 0;
      if (b_ == 0) {
        flags = 0x04;  // OV; A and B are left as they were
      } else {
        const std::uint8_t quotient = acc_ / b_;
        b_ = acc_ % b_;
        acc_ = quotient;
      }
      psw_ = static_cast<std::uint8_t>((psw_ & ~(kCy | 0x04)) | flags);
      break;
    }
    case 0xA4: {  // MUL AB
      const unsigned product = acc_ * b_;
      acc_ = static_cast<std::uint8_t>(product);
      b_ = static_cast<std::uint8_t>(product >> 8);
      psw_ = static_cast<std::uint8_t>((psw_ & ~(kCy | 0x04)) | (product > 0xFF ? 0x04 : 0));
      break;
    }
    case 0x85: {  // MOV direct, direct: source first
      const std::uint8_t from = Fetch();
      const std::uint8_t to = Fetch();
      SetDirect(to, Direct(from));
      break;
    }
      CASE_RI(0x86) : {
        const std::uint8_t address = Fetch();
        SetDirect(address, at_ri());
        break;
      }
      CASE_RN(0x88) : {
        const std::uint8_t address = Fetch();
        SetDirect(address, rn());
        break;
      }
    case 0x90: {
      const std::uint8_t high = Fetch();
      const std::uint8_t low = Fetch();
      Dptr() = static_cast<std::uint16_t>(high << 8 | low);
      break;
    }
    case 0x92:  // MOV bit, C
      SetBit(Fetch(), carry());
      break;
      CASE_SOURCES(0x94) : Subb(source());
      break;
    case 0xA2:  // MOV C, bit
      set_carry(Bit(Fetch()));
      break;
    case 0xA3:
      ++Dptr();
      break;
    case 0xA5:  // undefined on the FX2
      fault_ =
          start >= Bus::kMainRamSize ? CpuFault::FetchOutsideMainRam : CpuFault::UndefinedOpcode;
      fault_pc_ = start;
      pc_ = start;
      UpdateAttention();
      return 0;
      CASE_RI(0xA6) : at_ri() = Direct(Fetch());
      break;
      CASE_RN(0xA8) : rn() = Direct(Fetch());
      break;
    case 0xB2: {  // CPL bit
      const std::uint8_t bit = Fetch();
      SetBit(bit, !Bit(bit));
      break;
    }
    case 0xB3:
      set_carry(!carry());
      break;
    case 0xB4:
    case 0xB5:
      CASE_RI(0xB6) : CASE_RN(0xB8) : {  // CJNE
        std::uint8_t left;
        std::uint8_t right;
        if (op == 0xB4) {
          left = acc_;
          right = Fetch();
        } else if (op == 0xB5) {
          left = acc_;
          right = Direct(Fetch());
        } else {
          left = op < 0xB8 ? at_ri() : rn();
          right = Fetch();
        }
        const std::uint8_t offset = Fetch();
        set_carry(left < right);
        if (left != right) relative_jump(offset);
        break;
      }
    case 0xC0:
      Push(Direct(Fetch()));
      break;
    case 0xD0: {
      const std::uint8_t address = Fetch();
      const std::uint8_t value = Pop();
      SetDirect(address, value);
      break;
    }
    case 0xC2:
      SetBit(Fetch(), false);
      break;
    case 0xD2:
      SetBit(Fetch(), true);
      break;
    case 0xC3:
      set_carry(false);
      break;
    case 0xD3:
      set_carry(true);
      break;
    case 0xC4:
      acc_ = static_cast<std::uint8_t>(acc_ << 4 | acc_ >> 4);
      break;
    case 0xC5: {
      const std::uint8_t address = Fetch();
      const std::uint8_t value = Direct(address);
      SetDirect(address, acc_);
      acc_ = value;
      break;
    }
      CASE_RI(0xC6) : {
        std::uint8_t& cell = at_ri();
        std::swap(cell, acc_);
        break;
      }
      CASE_RN(0xC8) : {
        std::uint8_t& cell = rn();
        std::swap(cell, acc_);
        break;
      }
    case 0xD4: {  // DA A
      unsigned value = acc_;
      bool carry_out = carry();
      if ((value & 0x0F) > 9 || (psw_ & 0x40)) {
        value += 6;
        if (value > 0xFF) carry_out = true;
        value &= 0xFF;
      }
      if ((value >> 4) > 9 || carry_out) {
        value += 0x60;
        if (value > 0xFF) carry_out = true;
      }
      acc_ = static_cast<std::uint8_t>(value);
      set_carry(carry_out);
      break;
    }
    case 0xD5: {  // DJNZ direct, rel
      const std::uint8_t address = Fetch();
      const std::uint8_t offset = Fetch();
      const std::uint8_t value = static_cast<std::uint8_t>(Direct(address) - 1);
      SetDirect(address, value);
      if (value != 0) relative_jump(offset);
      break;
    }
      CASE_RI(0xD6) : {  // XCHD A, @Ri
        std::uint8_t& cell = at_ri();
        const std::uint8_t low = cell & 0x0F;
        cell = static_cast<std::uint8_t>((cell & 0xF0) | (acc_ & 0x0F));
        acc_ = static_cast<std::uint8_t>((acc_ & 0xF0) | low);
        break;
      }
      CASE_RN(0xD8) : {
        const std::uint8_t offset = Fetch();
        if (--rn() != 0) relative_jump(offset);
        break;
      }
    case 0xE0:
      acc_ = ReadMovx(Dptr());
      cycles = movx_cycles_;
      break;
      CASE_RI(0xE2)
          : acc_ = ReadMovx(static_cast<std::uint16_t>(mpage_ << 8 | iram_[bank_ + (op & 1)]));
      cycles = movx_cycles_;
      break;
    case 0xF0:
      WriteMovx(Dptr(), acc_);
      cycles = movx_cycles_;
      break;
      CASE_RI(0xF2)
          : WriteMovx(static_cast<std::uint16_t>(mpage_ << 8 | iram_[bank_ + (op & 1)]), acc_);
      cycles = movx_cycles_;
      break;
    case 0xE4:
      acc_ = 0;
      break;
    case 0xF4:
      acc_ = static_cast<std::uint8_t>(~acc_);
      break;
    case 0xE5:
      acc_ = Direct(Fetch());
      break;
      CASE_RI(0xE6) : acc_ = at_ri();
      break;
      CASE_RN(0xE8) : acc_ = rn();
      break;
    case 0xF5:
      SetDirect(Fetch(), acc_);
      break;
      CASE_RI(0xF6) : at_ri() = acc_;
      break;
      CASE_RN(0xF8) : rn() = acc_;
      break;
  }
  return cycles;
}

}  // namespace vesk::sim
