#pragma once
// The 8051 instruction set, written once: one case per opcode family, in opcode order.
//
// ExecuteInstruction runs the instruction at the access's PC and returns its machine
// cycles. How it reaches the machine's state is the access's business, so the same cases
// serve the core's stepping (registers and memories themselves) and the fast-forward's loop
// pass (a flattened copy that notes every read and write and refuses side effects). An
// access provides:
//   Pc(), SetPc(pc), Fetch()          the program counter and the next code byte
//   CodeByte(address)                 MOVC's code read
//   A(), SetA(v), B(), SetB(v)        the accumulator and B
//   Flags(), SetFlags(v)              PSW without its parity bit; the bank bits never change here
//   R(n), SetR(n, v)                  R0..R7 of the current bank
//   RiAddress(n)                      the internal RAM address in R0 or R1, for @Ri
//   Iram(address), SetIram(a, v)      internal RAM at an address taken from @Ri
//   Direct(address), SetDirect(a, v)  a direct operand: internal RAM below 0x80, else an SFR
//   Bit(bit), SetBit(bit, v)          a bit operand
//   Dptr(), SetDptr(v)                the data pointer DPS selects
//   Mpage()                           MOVX @Ri's high address byte
//   ReadXdata(a), WriteXdata(a, v)    MOVX, returning nothing of the cycles
//   MovxCycles()                      a MOVX's cycles with CKCON's stretch
//   Push(v), Pop()                    the stack
//   LjmpLow(start, low)               LJMP's low address byte (INT2/INT4 autovectoring)
//   ReturnFromInterrupt()             RETI's end of the routine in progress
//   UndefinedOpcode(start)            0xA5, executed at `start`

#include <cstdint>

#include "sim/cpu8051.h"

namespace vesk::sim::instructions {

inline constexpr std::uint8_t kCy = Cpu8051::kCy, kAc = Cpu8051::kAc, kOv = Cpu8051::kOv;

// DS80C320 machine cycles per opcode (4 clocks each), the FX2's table. MOVX entries hold
// the unstretched 2 cycles; CKCON's stretch is added at run time. 0xA5 is undefined.
inline constexpr std::uint8_t kCycles[256] = {
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

// A + operand (+ carry) into A, with CY, AC and OV.
template <class Access>
inline void Add(Access& s, std::uint8_t operand, bool carryIn) {
  const std::uint8_t acc = s.A();
  const unsigned carry = carryIn ? 1 : 0;
  const unsigned result = acc + operand + carry;
  std::uint8_t flags = 0;
  if (result > 0xFF) flags |= kCy;
  if ((acc & 0x0F) + (operand & 0x0F) + carry > 0x0F) flags |= kAc;
  if (~(acc ^ operand) & (acc ^ result) & 0x80) flags |= kOv;
  s.SetFlags(static_cast<std::uint8_t>((s.Flags() & ~(kCy | kAc | kOv)) | flags));
  s.SetA(static_cast<std::uint8_t>(result));
}

// A - operand - carry into A, with CY, AC and OV.
template <class Access>
inline void Subb(Access& s, std::uint8_t operand) {
  const std::uint8_t acc = s.A();
  const int carry = (s.Flags() & kCy) ? 1 : 0;
  const int result = acc - operand - carry;
  std::uint8_t flags = 0;
  if (result < 0) flags |= kCy;
  if ((acc & 0x0F) - (operand & 0x0F) - carry < 0) flags |= kAc;
  if ((acc ^ operand) & (acc ^ result) & 0x80) flags |= kOv;
  s.SetFlags(static_cast<std::uint8_t>((s.Flags() & ~(kCy | kAc | kOv)) | flags));
  s.SetA(static_cast<std::uint8_t>(result));
}

#define VESK_CASE_RI(base) \
  case base:               \
  case base + 1
#define VESK_CASE_RN(base) \
  case base:               \
  case base + 1:           \
  case base + 2:           \
  case base + 3:           \
  case base + 4:           \
  case base + 5:           \
  case base + 6:           \
  case base + 7
// The arithmetic and logic rows: #imm, direct, @R0, @R1, R0..R7 at low nibbles 4..F.
#define VESK_CASE_SOURCES(base) \
  case base:                    \
  case base + 1:                \
    VESK_CASE_RI(base + 2) : VESK_CASE_RN(base + 4)

// Always inlined: each caller's access then costs nothing over reaching the state itself.
template <class Access>
[[gnu::always_inline]] inline std::uint32_t ExecuteInstruction(Access& s) {
  const std::uint16_t start = s.Pc();
  const std::uint8_t op = s.Fetch();
  std::uint32_t cycles = kCycles[op];
  auto atRi = [&]() { return s.RiAddress(op & 1); };
  // Operand of the arithmetic and logic rows.
  auto source = [&]() -> std::uint8_t {
    switch (op & 0x0F) {
      case 4:
        return s.Fetch();
      case 5:
        return s.Direct(s.Fetch());
      case 6:
      case 7:
        return s.Iram(atRi());
      default:
        return s.R(op & 7);
    }
  };
  auto relativeJump = [&](std::uint8_t offset) {
    s.SetPc(static_cast<std::uint16_t>(s.Pc() + static_cast<std::int8_t>(offset)));
  };
  auto carry = [&]() { return (s.Flags() & kCy) != 0; };
  auto setCarry = [&](bool value) {
    const std::uint8_t psw = s.Flags();
    s.SetFlags(static_cast<std::uint8_t>(value ? (psw | kCy) : (psw & ~kCy)));
  };
  auto pushPc = [&]() {
    s.Push(static_cast<std::uint8_t>(s.Pc()));
    s.Push(static_cast<std::uint8_t>(s.Pc() >> 8));
  };
  auto popPc = [&]() {
    const std::uint8_t high = s.Pop();
    const std::uint8_t low = s.Pop();
    s.SetPc(static_cast<std::uint16_t>(high << 8 | low));
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
      const std::uint8_t low = s.Fetch();  // AJMP
      s.SetPc(static_cast<std::uint16_t>((s.Pc() & 0xF800) | (op & 0xE0) << 3 | low));
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
      const std::uint8_t low = s.Fetch();  // ACALL
      pushPc();
      s.SetPc(static_cast<std::uint16_t>((s.Pc() & 0xF800) | (op & 0xE0) << 3 | low));
      break;
    }
    case 0x02: {  // LJMP
      const std::uint8_t high = s.Fetch();
      const std::uint8_t low = s.LjmpLow(start, s.Fetch());
      s.SetPc(static_cast<std::uint16_t>(high << 8 | low));
      break;
    }
    case 0x12: {  // LCALL
      const std::uint8_t high = s.Fetch();
      const std::uint8_t low = s.Fetch();
      pushPc();
      s.SetPc(static_cast<std::uint16_t>(high << 8 | low));
      break;
    }
    case 0x22:  // RET
      popPc();
      break;
    case 0x32:  // RETI
      popPc();
      s.ReturnFromInterrupt();
      break;
    case 0x03: {  // RR A
      const std::uint8_t acc = s.A();
      s.SetA(static_cast<std::uint8_t>(acc >> 1 | acc << 7));
      break;
    }
    case 0x13: {  // RRC A
      const std::uint8_t acc = s.A();
      s.SetA(static_cast<std::uint8_t>(acc >> 1 | (carry() ? 0x80 : 0)));
      setCarry(acc & 1);
      break;
    }
    case 0x23: {  // RL A
      const std::uint8_t acc = s.A();
      s.SetA(static_cast<std::uint8_t>(acc << 1 | acc >> 7));
      break;
    }
    case 0x33: {  // RLC A
      const std::uint8_t acc = s.A();
      s.SetA(static_cast<std::uint8_t>(acc << 1 | (carry() ? 1 : 0)));
      setCarry(acc & 0x80);
      break;
    }
    case 0x04:
      s.SetA(static_cast<std::uint8_t>(s.A() + 1));
      break;
    case 0x05: {
      const std::uint8_t address = s.Fetch();
      s.SetDirect(address, static_cast<std::uint8_t>(s.Direct(address) + 1));
      break;
    }
      VESK_CASE_RI(0x06) : {
        const std::uint8_t address = atRi();
        s.SetIram(address, static_cast<std::uint8_t>(s.Iram(address) + 1));
        break;
      }
      VESK_CASE_RN(0x08) : s.SetR(op & 7, static_cast<std::uint8_t>(s.R(op & 7) + 1));
      break;
    case 0x14:
      s.SetA(static_cast<std::uint8_t>(s.A() - 1));
      break;
    case 0x15: {
      const std::uint8_t address = s.Fetch();
      s.SetDirect(address, static_cast<std::uint8_t>(s.Direct(address) - 1));
      break;
    }
      VESK_CASE_RI(0x16) : {
        const std::uint8_t address = atRi();
        s.SetIram(address, static_cast<std::uint8_t>(s.Iram(address) - 1));
        break;
      }
      VESK_CASE_RN(0x18) : s.SetR(op & 7, static_cast<std::uint8_t>(s.R(op & 7) - 1));
      break;
    case 0x10: {  // JBC bit, rel
      const std::uint8_t bit = s.Fetch();
      const std::uint8_t offset = s.Fetch();
      if (s.Bit(bit)) {
        s.SetBit(bit, false);
        relativeJump(offset);
      }
      break;
    }
    case 0x20:
    case 0x30: {  // JB / JNB bit, rel
      const std::uint8_t bit = s.Fetch();
      const std::uint8_t offset = s.Fetch();
      if (s.Bit(bit) == (op == 0x20)) relativeJump(offset);
      break;
    }
      VESK_CASE_SOURCES(0x24) : Add(s, source(), false);
      break;
      VESK_CASE_SOURCES(0x34) : Add(s, source(), carry());
      break;
    case 0x40:
    case 0x50: {  // JC / JNC
      const std::uint8_t offset = s.Fetch();
      if (carry() == (op == 0x40)) relativeJump(offset);
      break;
    }
    case 0x60:
    case 0x70: {  // JZ / JNZ
      const std::uint8_t offset = s.Fetch();
      if ((s.A() == 0) == (op == 0x60)) relativeJump(offset);
      break;
    }
    case 0x42:
    case 0x52:
    case 0x62: {  // ORL/ANL/XRL direct, A
      const std::uint8_t address = s.Fetch();
      const std::uint8_t value = s.Direct(address);
      const std::uint8_t acc = s.A();
      s.SetDirect(address, static_cast<std::uint8_t>(op == 0x42   ? value | acc
                                                     : op == 0x52 ? value & acc
                                                                  : value ^ acc));
      break;
    }
    case 0x43:
    case 0x53:
    case 0x63: {  // ORL/ANL/XRL direct, #imm
      const std::uint8_t address = s.Fetch();
      const std::uint8_t operand = s.Fetch();
      const std::uint8_t value = s.Direct(address);
      s.SetDirect(address, static_cast<std::uint8_t>(op == 0x43   ? value | operand
                                                     : op == 0x53 ? value & operand
                                                                  : value ^ operand));
      break;
    }
      VESK_CASE_SOURCES(0x44) : {
        const std::uint8_t operand = source();
        s.SetA(static_cast<std::uint8_t>(s.A() | operand));
        break;
      }
      VESK_CASE_SOURCES(0x54) : {
        const std::uint8_t operand = source();
        s.SetA(static_cast<std::uint8_t>(s.A() & operand));
        break;
      }
      VESK_CASE_SOURCES(0x64) : {
        const std::uint8_t operand = source();
        s.SetA(static_cast<std::uint8_t>(s.A() ^ operand));
        break;
      }
    // ORL/ANL C, bit and /bit. The carry is written even when it keeps its value: every
    // pass of a loop must touch the same state.
    case 0x72:
    case 0xA0:
    case 0x82:
    case 0xB0: {
      const bool value = s.Bit(s.Fetch()) == (op == 0x72 || op == 0x82);
      setCarry(op == 0x72 || op == 0xA0 ? carry() || value : carry() && value);
      break;
    }
    case 0x73:  // JMP @A+DPTR
      s.SetPc(static_cast<std::uint16_t>(s.Dptr() + s.A()));
      break;
    case 0x74:
      s.SetA(s.Fetch());
      break;
    case 0x75: {
      const std::uint8_t address = s.Fetch();
      s.SetDirect(address, s.Fetch());
      break;
    }
      VESK_CASE_RI(0x76) : s.SetIram(atRi(), s.Fetch());
      break;
      VESK_CASE_RN(0x78) : s.SetR(op & 7, s.Fetch());
      break;
    case 0x80:
      relativeJump(s.Fetch());
      break;
    case 0x83:  // MOVC A, @A+PC
      s.SetA(s.CodeByte(static_cast<std::uint16_t>(s.Pc() + s.A())));
      break;
    case 0x93:  // MOVC A, @A+DPTR
      s.SetA(s.CodeByte(static_cast<std::uint16_t>(s.Dptr() + s.A())));
      break;
    case 0x84: {  // DIV AB
      std::uint8_t flags = 0;
      const std::uint8_t acc = s.A(), b = s.B();
      if (b == 0) {
        flags = kOv;  // A and B are left as they were
      } else {
        s.SetB(acc % b);
        s.SetA(acc / b);
      }
      s.SetFlags(static_cast<std::uint8_t>((s.Flags() & ~(kCy | kOv)) | flags));
      break;
    }
    case 0xA4: {  // MUL AB
      const unsigned product = s.A() * s.B();
      s.SetA(static_cast<std::uint8_t>(product));
      s.SetB(static_cast<std::uint8_t>(product >> 8));
      s.SetFlags(
          static_cast<std::uint8_t>((s.Flags() & ~(kCy | kOv)) | (product > 0xFF ? kOv : 0)));
      break;
    }
    case 0x85: {  // MOV direct, direct: source first
      const std::uint8_t from = s.Fetch();
      const std::uint8_t value = s.Direct(from);
      s.SetDirect(s.Fetch(), value);
      break;
    }
      VESK_CASE_RI(0x86) : {
        const std::uint8_t address = s.Fetch();
        s.SetDirect(address, s.Iram(atRi()));
        break;
      }
      VESK_CASE_RN(0x88) : {
        const std::uint8_t address = s.Fetch();
        s.SetDirect(address, s.R(op & 7));
        break;
      }
    case 0x90: {
      const std::uint8_t high = s.Fetch();
      const std::uint8_t low = s.Fetch();
      s.SetDptr(static_cast<std::uint16_t>(high << 8 | low));
      break;
    }
    case 0x92:  // MOV bit, C
      s.SetBit(s.Fetch(), carry());
      break;
      VESK_CASE_SOURCES(0x94) : Subb(s, source());
      break;
    case 0xA2:  // MOV C, bit
      setCarry(s.Bit(s.Fetch()));
      break;
    case 0xA3:
      s.SetDptr(static_cast<std::uint16_t>(s.Dptr() + 1));
      break;
    case 0xA5:  // undefined on the FX2
      s.UndefinedOpcode(start);
      return 0;
      VESK_CASE_RI(0xA6) : {
        const std::uint8_t address = atRi();
        s.SetIram(address, s.Direct(s.Fetch()));
        break;
      }
      VESK_CASE_RN(0xA8) : s.SetR(op & 7, s.Direct(s.Fetch()));
      break;
    case 0xB2: {  // CPL bit
      const std::uint8_t bit = s.Fetch();
      s.SetBit(bit, !s.Bit(bit));
      break;
    }
    case 0xB3:
      setCarry(!carry());
      break;
    case 0xB4:
    case 0xB5:
      VESK_CASE_RI(0xB6) : VESK_CASE_RN(0xB8) : {  // CJNE
        std::uint8_t left;
        std::uint8_t right;
        if (op == 0xB4) {
          left = s.A();
          right = s.Fetch();
        } else if (op == 0xB5) {
          left = s.A();
          right = s.Direct(s.Fetch());
        } else {
          left = op < 0xB8 ? s.Iram(atRi()) : s.R(op & 7);
          right = s.Fetch();
        }
        const std::uint8_t offset = s.Fetch();
        setCarry(left < right);
        if (left != right) relativeJump(offset);
        break;
      }
    case 0xC0:
      s.Push(s.Direct(s.Fetch()));
      break;
    case 0xD0: {
      const std::uint8_t address = s.Fetch();
      const std::uint8_t value = s.Pop();
      s.SetDirect(address, value);
      break;
    }
    case 0xC2:
      s.SetBit(s.Fetch(), false);
      break;
    case 0xD2:
      s.SetBit(s.Fetch(), true);
      break;
    case 0xC3:
      setCarry(false);
      break;
    case 0xD3:
      setCarry(true);
      break;
    case 0xC4: {
      const std::uint8_t acc = s.A();
      s.SetA(static_cast<std::uint8_t>(acc << 4 | acc >> 4));
      break;
    }
    case 0xC5: {
      const std::uint8_t address = s.Fetch();
      const std::uint8_t value = s.Direct(address);
      s.SetDirect(address, s.A());
      s.SetA(value);
      break;
    }
      VESK_CASE_RI(0xC6) : {
        const std::uint8_t address = atRi();
        const std::uint8_t value = s.Iram(address);
        s.SetIram(address, s.A());
        s.SetA(value);
        break;
      }
      VESK_CASE_RN(0xC8) : {
        const std::uint8_t value = s.R(op & 7);
        s.SetR(op & 7, s.A());
        s.SetA(value);
        break;
      }
    case 0xD4: {  // DA A
      unsigned value = s.A();
      bool carryOut = carry();
      if ((value & 0x0F) > 9 || (s.Flags() & kAc)) {
        value += 6;
        if (value > 0xFF) carryOut = true;
        value &= 0xFF;
      }
      if ((value >> 4) > 9 || carryOut) {
        value += 0x60;
        if (value > 0xFF) carryOut = true;
      }
      s.SetA(static_cast<std::uint8_t>(value));
      setCarry(carryOut);
      break;
    }
    case 0xD5: {  // DJNZ direct, rel
      const std::uint8_t address = s.Fetch();
      const std::uint8_t offset = s.Fetch();
      const std::uint8_t value = static_cast<std::uint8_t>(s.Direct(address) - 1);
      s.SetDirect(address, value);
      if (value != 0) relativeJump(offset);
      break;
    }
      VESK_CASE_RI(0xD6) : {  // XCHD A, @Ri
        const std::uint8_t address = atRi();
        const std::uint8_t cell = s.Iram(address);
        const std::uint8_t acc = s.A();
        s.SetIram(address, static_cast<std::uint8_t>((cell & 0xF0) | (acc & 0x0F)));
        s.SetA(static_cast<std::uint8_t>((acc & 0xF0) | (cell & 0x0F)));
        break;
      }
      VESK_CASE_RN(0xD8) : {
        const std::uint8_t offset = s.Fetch();
        const std::uint8_t value = static_cast<std::uint8_t>(s.R(op & 7) - 1);
        s.SetR(op & 7, value);
        if (value != 0) relativeJump(offset);
        break;
      }
    case 0xE0:
      s.SetA(s.ReadXdata(s.Dptr()));
      cycles = s.MovxCycles();
      break;
      VESK_CASE_RI(0xE2) : s.SetA(s.ReadXdata(static_cast<std::uint16_t>(s.Mpage() << 8 | s.R(op & 1))));
      cycles = s.MovxCycles();
      break;
    case 0xF0:
      s.WriteXdata(s.Dptr(), s.A());
      cycles = s.MovxCycles();
      break;
      VESK_CASE_RI(0xF2) : s.WriteXdata(static_cast<std::uint16_t>(s.Mpage() << 8 | s.R(op & 1)), s.A());
      cycles = s.MovxCycles();
      break;
    case 0xE4:
      s.SetA(0);
      break;
    case 0xF4:
      s.SetA(static_cast<std::uint8_t>(~s.A()));
      break;
    case 0xE5:
      s.SetA(s.Direct(s.Fetch()));
      break;
      VESK_CASE_RI(0xE6) : s.SetA(s.Iram(atRi()));
      break;
      VESK_CASE_RN(0xE8) : s.SetA(s.R(op & 7));
      break;
    case 0xF5:
      s.SetDirect(s.Fetch(), s.A());
      break;
      VESK_CASE_RI(0xF6) : s.SetIram(atRi(), s.A());
      break;
      VESK_CASE_RN(0xF8) : s.SetR(op & 7, s.A());
      break;
  }
  return cycles;
}

#undef VESK_CASE_SOURCES
#undef VESK_CASE_RN
#undef VESK_CASE_RI

}  // namespace vesk::sim::instructions
