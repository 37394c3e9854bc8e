// The exact fast-forward of wait loops (see cpu8051.h).
//
// At the target of a backward jump the core steps one real iteration and notes its path.
// A small interpreter then replays that path on copies of the register state, one copy
// ("lane") per coming iteration j, each started at S1 + j * D, where S1 is the state after
// the real iteration and D its change over it. Lane j is checked to follow the same path
// and to end where lane j + 1 starts; then iteration j ends with lane j's state. As every
// byte moves modulo 256, lane 256 would start where lane 0 does: when 256 lanes (or, for a
// fixed point, one) pass, the loop repeats for ever. The interpreter models only
// instructions without side effects outside registers and internal RAM; anything else
// makes the loop ineligible. Peripheral values it reads stay what they are until the next
// peripheral deadline, which bounds the skip.

#include <algorithm>
#include <bit>
#include <cstring>

#include "sim/cpu8051.h"

namespace vesk::sim {

namespace {

// The state a loop pass may read or change, flattened: internal RAM, then these.
constexpr int kLocAcc = 256, kLocB = 257, kLocPsw = 258, kLocDptr = 259 /* DPL0 DPH0 DPL1 DPH1 */;
constexpr int kLocations = 263;
constexpr int kMaxLoopInstructions = 24;
constexpr int kLanes = 256;
constexpr std::uint64_t kShortestSkip = 4;
constexpr std::uint8_t kUntouched = 0, kReadFirst = 1, kWrittenFirst = 2;

}  // namespace

struct Cpu8051::LoopPass {
  std::array<std::uint16_t, kMaxLoopInstructions> path{};
  int length = 0;
  // Per instruction of the path: a peripheral value read (taken in the first pass).
  std::array<bool, kMaxLoopInstructions> has_read{};
  std::array<std::uint16_t, kMaxLoopInstructions> read_address{};
  std::array<std::uint8_t, kMaxLoopInstructions> read_value{};
  std::array<std::uint8_t, kMaxLoopInstructions> indirect{};  // @Ri's address
  // First pass: registers read that no pass changes (SP, MPAGE, other core SFRs), in order.
  std::array<std::uint8_t, 2 * kMaxLoopInstructions> constants{};
  int constant_count = 0;
  // First pass only: how each location was first touched, and which were written.
  std::array<std::uint8_t, kLocations> first{};
  std::array<bool, kLocations> written{};
  std::array<std::uint16_t, kLocations> written_list;
  int written_count = 0;
  std::array<std::uint16_t, kLocations> live_list;  // read before written
  int live_count = 0;
  std::array<std::uint16_t, kLocations> touched_list;
  int touched_count = 0;
  bool unsupported = false;

  // Ready for a new loop; clears only what the last one touched.
  void Clear() {
    length = 0;
    has_read.fill(false);
    read_value.fill(0);
    indirect.fill(0);
    constant_count = 0;
    for (int i = 0; i < touched_count; ++i) {
      first[touched_list[i]] = kUntouched;
      written[touched_list[i]] = false;
    }
    touched_count = written_count = live_count = 0;
    unsupported = false;
  }
};

thread_local std::array<Cpu8051::LoopVerdict, 256> Cpu8051::loop_verdicts_;

Cpu8051::LoopPass* Cpu8051::NewLoopPass() {
  return new LoopPass;
}

void Cpu8051::DeleteLoopPass(LoopPass* pass) {
  delete pass;
}

bool Cpu8051::RunLoopPass(LoopPass& pass, std::uint8_t* s, bool first) {
  bool ok = true;
  auto fail = [&] {
    if (first) pass.unsupported = true;
    ok = false;
  };
  auto touch = [&](int loc, bool write) {
    if (!first) return;
    if (pass.first[loc] == kUntouched) {
      pass.first[loc] = write ? kWrittenFirst : kReadFirst;
      pass.touched_list[pass.touched_count++] = static_cast<std::uint16_t>(loc);
      if (!write) pass.live_list[pass.live_count++] = static_cast<std::uint16_t>(loc);
    }
    if (write && !pass.written[loc]) {
      pass.written[loc] = true;
      pass.written_list[pass.written_count++] = static_cast<std::uint16_t>(loc);
    }
  };
  auto get = [&](int loc) {
    touch(loc, false);
    return s[loc];
  };
  auto put = [&](int loc, std::uint8_t value) {
    touch(loc, true);
    s[loc] = value;
  };
  const int bank = psw_ & 0x18;  // the path cannot change the register bank
  auto rn = [&](std::uint8_t op) { return bank + (op & 7); };
  auto dptr = [&]() {
    const int low = kLocDptr + 2 * (dps_ & 1);
    return static_cast<std::uint16_t>(get(low + 1) << 8 | get(low));
  };
  // A peripheral or XDATA value; its address must be the same in every lane.
  int index = 0;
  auto external = [&](std::uint16_t address, bool sfr) -> std::uint8_t {
    if (first) {
      const bool pure =
          sfr ? bus_.SfrReadIsPure(static_cast<std::uint8_t>(address)) : bus_.ReadIsPure(address);
      if (!pure) {
        fail();
        return 0;
      }
      pass.has_read[index] = true;
      pass.read_address[index] = address;
      pass.read_value[index] =
          sfr ? bus_.ReadSfr(static_cast<std::uint8_t>(address)) : bus_.ReadXdata(address);
    } else if (!pass.has_read[index] || pass.read_address[index] != address) {
      ok = false;
      return 0;
    }
    return pass.read_value[index];
  };
  auto constant = [&](std::uint8_t value) {
    if (first && pass.constant_count < static_cast<int>(pass.constants.size()))
      pass.constants[pass.constant_count++] = value;
    return value;
  };
  auto read_direct = [&](std::uint8_t address) -> std::uint8_t {
    if (address < 0x80) return get(address);
    switch (address) {
      case kAcc:
        return get(kLocAcc);
      case kB:
        return get(kLocB);
      case kPsw:
        return static_cast<std::uint8_t>(get(kLocPsw) | (std::popcount(get(kLocAcc)) & 1));
      case kDpl0:
      case kDph0:
      case kDpl1:
      case kDph1:
        return get(kLocDptr + address - kDpl0);
      case kSp:
        return constant(sp_);
      case kDps:
        return constant(dps_);
      case kMpage:
        return constant(mpage_);
      default:
        break;
    }
    if (bus_.SfrOwner(address) != nullptr) return external(address, true);
    if (!IsCoreSfrAddress(address)) fail();  // an unmodelled SFR's read is recorded
    return constant(sfr_[address - 0x80]);
  };
  auto write_direct = [&](std::uint8_t address, std::uint8_t value) {
    if (address < 0x80) {
      put(address, value);
    } else if (address == kAcc) {
      put(kLocAcc, value);
    } else if (address == kB) {
      put(kLocB, value);
    } else if (address >= kDpl0 && address <= kDph1) {
      put(kLocDptr + address - kDpl0, value);
    } else {
      fail();
    }
  };
  auto bit_byte = [&](std::uint8_t bit) -> std::uint8_t {
    return bit < 0x80 ? static_cast<std::uint8_t>(0x20 + (bit >> 3))
                      : static_cast<std::uint8_t>(bit & 0xF8);
  };
  auto read_bit = [&](std::uint8_t bit) {
    return ((read_direct(bit_byte(bit)) >> (bit & 7)) & 1) != 0;
  };
  auto carry = [&] { return (get(kLocPsw) & kCy) != 0; };
  auto set_flags = [&](std::uint8_t mask, std::uint8_t flags) {
    put(kLocPsw, static_cast<std::uint8_t>((get(kLocPsw) & ~mask) | flags));
  };
  // The internal RAM address in Ri; like an external address, the same in every lane (so
  // that every pass reads and writes the same locations).
  auto at_ri = [&](std::uint8_t op) -> int {
    const std::uint8_t address = get(bank + (op & 1));
    if (first) {
      pass.indirect[index] = address;
    } else if (pass.indirect[index] != address) {
      ok = false;
    }
    return address;
  };
  // Operand of the arithmetic and logic rows: #imm, direct, @R0, @R1, R0..R7.
  std::uint16_t pc = 0;
  auto fetch = [&] { return code_[pc++]; };
  auto source = [&](std::uint8_t op) -> std::uint8_t {
    switch (op & 0x0F) {
      case 4:
        return fetch();
      case 5:
        return read_direct(fetch());
      case 6:
      case 7:
        return get(at_ri(op));
      default:
        return get(rn(op));
    }
  };
  auto add = [&](std::uint8_t operand, bool carry_in) {
    const std::uint8_t a = get(kLocAcc);
    const unsigned c = carry_in ? 1 : 0;
    const unsigned result = a + operand + c;
    std::uint8_t flags = 0;
    if (result > 0xFF) flags |= kCy;
    if ((a & 0x0F) + (operand & 0x0F) + c > 0x0F) flags |= kAc;
    if (~(a ^ operand) & (a ^ result) & 0x80) flags |= kOv;
    set_flags(kCy | kAc | kOv, flags);
    put(kLocAcc, static_cast<std::uint8_t>(result));
  };

  for (index = 0; index < pass.length && ok; ++index) {
    pc = pass.path[index];
    const std::uint8_t op = fetch();
    auto jump_if = [&](bool condition) {
      const auto offset = static_cast<std::int8_t>(fetch());
      if (condition) pc = static_cast<std::uint16_t>(pc + offset);
    };
    switch (op) {
      case 0x00:
        break;
      case 0x01:
      case 0x21:
      case 0x41:
      case 0x61:
      case 0x81:
      case 0xA1:
      case 0xC1:
      case 0xE1: {  // AJMP
        const std::uint8_t low = fetch();
        pc = static_cast<std::uint16_t>((pc & 0xF800) | (op & 0xE0) << 3 | low);
        break;
      }
      case 0x02: {  // LJMP
        const std::uint8_t high = fetch();
        pc = static_cast<std::uint16_t>(high << 8 | fetch());
        break;
      }
      case 0x80:
        jump_if(true);
        break;
      case 0x90: {  // MOV DPTR, #imm
        const int low = kLocDptr + 2 * (dps_ & 1);
        put(low + 1, fetch());
        put(low, fetch());
        break;
      }
      case 0xA3: {  // INC DPTR
        const int low = kLocDptr + 2 * (dps_ & 1);
        const auto value = static_cast<std::uint16_t>(dptr() + 1);
        put(low, static_cast<std::uint8_t>(value));
        put(low + 1, static_cast<std::uint8_t>(value >> 8));
        break;
      }
      case 0xE0:
        put(kLocAcc, external(dptr(), false));
        break;
      case 0xE2:
      case 0xE3:
        put(kLocAcc,
            external(static_cast<std::uint16_t>(constant(mpage_) << 8 | get(bank + (op & 1))),
                     false));
        break;
      case 0x74:
      case 0xE5:
      case 0xE6:
      case 0xE7:
      case 0xE8:
      case 0xE9:
      case 0xEA:
      case 0xEB:
      case 0xEC:
      case 0xED:
      case 0xEE:
      case 0xEF:
        put(kLocAcc, source(op == 0x74 ? 0x04 : op));
        break;
      case 0xF5:
        write_direct(fetch(), get(kLocAcc));
        break;
      case 0xF6:
      case 0xF7:
        put(at_ri(op), get(kLocAcc));
        break;
      case 0x75: {
        const std::uint8_t address = fetch();
        write_direct(address, fetch());
        break;
      }
      case 0x76:
      case 0x77:
        put(at_ri(op), fetch());
        break;
      case 0x85: {  // MOV direct, direct: source first
        const std::uint8_t from = fetch();
        const std::uint8_t value = read_direct(from);
        write_direct(fetch(), value);
        break;
      }
      case 0xE4:
        put(kLocAcc, 0);
        break;
      case 0xF4:
        put(kLocAcc, static_cast<std::uint8_t>(~get(kLocAcc)));
        break;
      case 0xC4: {
        const std::uint8_t a = get(kLocAcc);
        put(kLocAcc, static_cast<std::uint8_t>(a << 4 | a >> 4));
        break;
      }
      case 0x03:
      case 0x23: {
        const std::uint8_t a = get(kLocAcc);
        put(kLocAcc, static_cast<std::uint8_t>(op == 0x03 ? (a >> 1 | a << 7) : (a << 1 | a >> 7)));
        break;
      }
      case 0x13:
      case 0x33: {
        const std::uint8_t a = get(kLocAcc);
        const bool c = carry();
        const bool right = op == 0x13;
        put(kLocAcc,
            static_cast<std::uint8_t>(right ? (a >> 1 | (c ? 0x80 : 0)) : (a << 1 | (c ? 1 : 0))));
        set_flags(kCy, ((right ? a & 1 : a & 0x80) != 0) ? kCy : 0);
        break;
      }
      case 0x04:
      case 0x14:
        put(kLocAcc, static_cast<std::uint8_t>(get(kLocAcc) + (op == 0x04 ? 1 : -1)));
        break;
      case 0x05:
      case 0x15: {
        const std::uint8_t address = fetch();
        write_direct(address,
                     static_cast<std::uint8_t>(read_direct(address) + (op == 0x05 ? 1 : -1)));
        break;
      }
      case 0x06:
      case 0x07:
      case 0x16:
      case 0x17: {
        const std::uint8_t at = at_ri(op);
        put(at, static_cast<std::uint8_t>(get(at) + (op < 0x10 ? 1 : -1)));
        break;
      }
      case 0xC3:
      case 0xD3:
        set_flags(kCy, op == 0xD3 ? kCy : 0);
        break;
      case 0xB3:
        set_flags(kCy, carry() ? 0 : kCy);
        break;
      case 0xA2:
        set_flags(kCy, read_bit(fetch()) ? kCy : 0);
        break;
      case 0x82:
      case 0x72: {  // ANL/ORL C, bit
        const bool value = read_bit(fetch());
        const bool result = op == 0x82 ? (carry() && value) : (carry() || value);
        set_flags(kCy, result ? kCy : 0);
        break;
      }
      case 0x40:
        jump_if(carry());
        break;
      case 0x50:
        jump_if(!carry());
        break;
      case 0x60:
        jump_if(get(kLocAcc) == 0);
        break;
      case 0x70:
        jump_if(get(kLocAcc) != 0);
        break;
      case 0x20:
      case 0x30: {
        const bool set = read_bit(fetch());
        jump_if(op == 0x20 ? set : !set);
        break;
      }
      case 0xB4:
      case 0xB5:
      case 0xB6:
      case 0xB7:
      case 0xB8:
      case 0xB9:
      case 0xBA:
      case 0xBB:
      case 0xBC:
      case 0xBD:
      case 0xBE:
      case 0xBF: {  // CJNE
        std::uint8_t left;
        std::uint8_t right;
        if (op == 0xB4 || op == 0xB5) {
          left = get(kLocAcc);
          right = op == 0xB4 ? fetch() : read_direct(fetch());
        } else {
          left = get(op < 0xB8 ? at_ri(op) : rn(op));
          right = fetch();
        }
        set_flags(kCy, left < right ? kCy : 0);
        jump_if(left != right);
        break;
      }
      case 0xD5: {  // DJNZ direct
        const std::uint8_t address = fetch();
        const auto value = static_cast<std::uint8_t>(read_direct(address) - 1);
        write_direct(address, value);
        jump_if(value != 0);
        break;
      }
      default: {
        const std::uint8_t row = op & 0xF0, column = op & 0x0F;
        if (column >= 8 && row == 0x00) {  // INC Rn
          put(rn(op), static_cast<std::uint8_t>(get(rn(op)) + 1));
        } else if (column >= 8 && row == 0x10) {  // DEC Rn
          put(rn(op), static_cast<std::uint8_t>(get(rn(op)) - 1));
        } else if (column >= 8 && row == 0x70) {  // MOV Rn, #imm
          put(rn(op), fetch());
        } else if (column >= 8 && row == 0xA0) {  // MOV Rn, direct
          put(rn(op), read_direct(fetch()));
        } else if (column >= 8 && row == 0x80) {  // MOV direct, Rn
          write_direct(fetch(), get(rn(op)));
        } else if (column >= 8 && row == 0xF0) {  // MOV Rn, A
          put(rn(op), get(kLocAcc));
        } else if (column >= 8 && row == 0xD0) {  // DJNZ Rn
          const auto value = static_cast<std::uint8_t>(get(rn(op)) - 1);
          put(rn(op), value);
          jump_if(value != 0);
        } else if (column >= 4 && (row == 0x40 || row == 0x50 || row == 0x60)) {
          const std::uint8_t operand = source(op);  // ORL, ANL, XRL A, source
          const std::uint8_t a = get(kLocAcc);
          put(kLocAcc, static_cast<std::uint8_t>(row == 0x40   ? (a | operand)
                                                 : row == 0x50 ? (a & operand)
                                                               : (a ^ operand)));
        } else if (column >= 4 && (row == 0x20 || row == 0x30)) {
          const std::uint8_t operand = source(op);  // ADD, ADDC
          add(operand, row == 0x30 && carry());
        } else if (column >= 4 && row == 0x90) {  // SUBB
          const std::uint8_t operand = source(op);
          const std::uint8_t a = get(kLocAcc);
          const int c = carry() ? 1 : 0;
          const int result = a - operand - c;
          std::uint8_t flags = 0;
          if (result < 0) flags |= kCy;
          if ((a & 0x0F) - (operand & 0x0F) - c < 0) flags |= kAc;
          if ((a ^ operand) & (a ^ result) & 0x80) flags |= kOv;
          set_flags(kCy | kAc | kOv, flags);
          put(kLocAcc, static_cast<std::uint8_t>(result));
        } else {
          fail();
        }
        break;
      }
    }
    const std::uint16_t next = index + 1 < pass.length ? pass.path[index + 1] : pass.path[0];
    if (pc != next) ok = false;
  }
  return ok;
}

void Cpu8051::MaybeFastForward(std::uint64_t endCycle, std::uint32_t untilPc) {
  if (attention_ || timers_running_) return;
  const std::uint16_t head = pc_;
  LoopHint& hint = loop_hints_[head % loop_hints_.size()];
  if (hint.head == head && hint.wait > 0) {
    --hint.wait;
    return;
  }
  auto give_up = [&] {
    if (hint.head != head) hint = LoopHint{head, 0, 0};
    hint.wait = static_cast<std::uint16_t>(1u << hint.backoff);
    hint.backoff = static_cast<std::uint8_t>(std::min(hint.backoff + 1, 12));
  };

  auto capture = [&](std::uint8_t* state) {
    std::memcpy(state, iram_.data(), 256);
    state[kLocAcc] = acc_;
    state[kLocB] = b_;
    state[kLocPsw] = psw_;
    for (int i = 0; i < 2; ++i) {
      state[kLocDptr + 2 * i] = static_cast<std::uint8_t>(dptr_[i]);
      state[kLocDptr + 2 * i + 1] = static_cast<std::uint8_t>(dptr_[i] >> 8);
    }
  };

  // One real iteration, stepped as the run would step it.
  std::uint8_t before[kLocations];
  capture(before);
  LoopPass& pass = *loop_pass_;
  pass.Clear();
  const unsigned mhz = bus_.ClockMhz();
  const std::uint64_t start_cycle = bus_.ElapsedCycles();
  const std::uint64_t start_instructions = instructions_;
  do {
    if (pass.length == kMaxLoopInstructions) return give_up();
    if (bus_.ElapsedCycles() >= endCycle || pc_ == untilPc) return;
    pass.path[pass.length++] = pc_;
    Step();
    // An interrupt to weigh, idle, a fault, a new clock speed (which moves the run's end
    // when it is a time), or a change the run is to stop at: not waiting now.
    if (attention_ || bus_.ClockMhz() != mhz) return;
    if (StopsAtChange()) return;
  } while (pc_ != head);
  for (int i = 0; i < pass.length; ++i) {
    if (pass.path[i] == untilPc) return;
  }

  const std::uint64_t now = bus_.ElapsedCycles();
  const std::uint64_t cycles = now - start_cycle;
  const std::uint64_t instructions = instructions_ - start_instructions;
  // Whole iterations that end no later than the next deadline and start before the limit.
  const std::uint64_t deadline = std::min(bus_.NextEventCycle(), endCycle);
  if (deadline <= now) return;
  const std::uint64_t most = (deadline - now) / cycles;
  // A skip of a few passes costs more than stepping them.
  if (most < kShortestSkip) return;

  std::uint8_t start[kLocations];
  capture(start);
  std::uint8_t lane[kLocations];
  std::memcpy(lane, start, sizeof lane);
  if (!RunLoopPass(pass, lane, true)) {
    if (pass.unsupported) give_up();
    return;
  }
  hint.backoff = 0;
  // What a pass reads before writing it carries over from the pass before: those bytes
  // must have moved by delta (if written) or not at all. Other bytes' deltas do not matter.
  const std::uint16_t* live = pass.live_list.data();
  const int live_count = pass.live_count;
  std::uint16_t changed[kLocations];  // read before written, and written
  int changed_count = 0;
  bool fixed_point = true;
  std::uint8_t delta[kLocations];  // set for the live bytes only
  for (int i = 0; i < live_count; ++i) {
    const int loc = live[i];
    delta[loc] = static_cast<std::uint8_t>(start[loc] - before[loc]);
    if (!pass.written[loc] && delta[loc] != 0) return;
    if (pass.written[loc]) changed[changed_count++] = static_cast<std::uint16_t>(loc);
    fixed_point = fixed_point && delta[loc] == 0;
  }
  // Lanes are numbered from a base state on the loop's orbit: the current state is lane
  // `phase`. With a carried byte whose delta is odd, the base is where that byte is 0, so
  // that every visit to the same wait (the same orbit) finds the same verdict.
  unsigned phase = 0;
  bool on_orbit = fixed_point;
  for (int i = 0; i < changed_count && !fixed_point; ++i) {
    const std::uint8_t step = delta[changed[i]];
    if ((step & 1) == 0) continue;
    on_orbit = true;
    std::uint8_t inverse = step;  // Newton's iteration for the inverse modulo 256
    for (int n = 0; n < 3; ++n) inverse = static_cast<std::uint8_t>(inverse * (2 - step * inverse));
    phase = static_cast<std::uint8_t>(start[changed[i]] * inverse);
    break;
  }
  std::uint8_t base[kLocations];
  for (int i = 0; i < live_count; ++i) {
    const int loc = live[i];
    base[loc] = static_cast<std::uint8_t>(start[loc] - phase * delta[loc]);
  }
  // Lane j ended where lane j + 1 starts (taken modulo 256)?
  auto continues = [&](const std::uint8_t* end, unsigned next) {
    for (int i = 0; i < changed_count; ++i) {
      const int loc = changed[i];
      if (end[loc] != static_cast<std::uint8_t>(base[loc] + next * delta[loc])) return false;
    }
    return true;
  };
  auto start_lane = [&](unsigned j) {
    for (int i = 0; i < live_count; ++i) {
      const int loc = live[i];
      lane[loc] = static_cast<std::uint8_t>(base[loc] + j * delta[loc]);
    }
  };

  // The verdict depends only on the path's code, the values it reads and the carried bytes
  // at the base with their deltas; waits that recur find it here.
  std::uint8_t key[LoopVerdict::kKeySize];
  std::size_t key_size = 0;
  auto add_key = [&](std::uint8_t byte) {
    if (key_size < sizeof key) key[key_size] = byte;
    ++key_size;
  };
  for (int i = 0; i < pass.length; ++i) {
    const std::uint16_t pc = pass.path[i];
    add_key(static_cast<std::uint8_t>(pc >> 8));
    add_key(static_cast<std::uint8_t>(pc));
    for (int b = 0; b < 3; ++b) add_key(code_[static_cast<std::uint16_t>(pc + b)]);
    add_key(pass.read_value[i]);
    add_key(pass.indirect[i]);
  }
  for (int i = 0; i < pass.constant_count; ++i) add_key(pass.constants[i]);
  for (int i = 0; i < live_count; ++i) {
    add_key(static_cast<std::uint8_t>(live[i] >> 8));
    add_key(static_cast<std::uint8_t>(live[i]));
    add_key(base[live[i]]);
    add_key(delta[live[i]]);
  }
  LoopVerdict* verdict = &scratch_verdict_;
  bool known = false;
  // Off an orbit the values themselves are the key: such a verdict is not kept.
  if (key_size <= sizeof key && on_orbit) {
    std::uint64_t hash = key_size;
    for (std::size_t i = 0; i < key_size; i += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, key + i, std::min<std::size_t>(8, key_size - i));
      hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
      hash ^= hash >> 32;
    }
    hash ^= hash >> 33;
    hash *= 0xFF51AFD7ED558CCDull;
    hash ^= hash >> 33;
    verdict = &loop_verdicts_[hash % loop_verdicts_.size()];
    known = verdict->key_size == key_size && std::memcmp(verdict->key.data(), key, key_size) == 0;
  }
  if (!known) {
    // Lane j repeats the path (`follows`) and ends where lane j + 1 starts (`continues`).
    verdict->follows.fill(0);
    verdict->continues.fill(0);
    auto set = [](std::array<std::uint64_t, 4>& bits, unsigned j) {
      bits[j / 64] |= 1ull << (j % 64);
    };
    if (fixed_point) {
      // Every lane is lane 0.
      const bool repeats = continues(lane, 1);
      verdict->follows.fill(~0ull);
      if (repeats) verdict->continues.fill(~0ull);
    } else {
      const auto lanes =
          on_orbit ? kLanes : static_cast<unsigned>(std::min<std::uint64_t>(most, kLanes));
      for (unsigned j = 0; j < lanes; ++j) {
        start_lane(j);
        if (!RunLoopPass(pass, lane, false)) continue;
        set(verdict->follows, j);
        if (continues(lane, j + 1)) set(verdict->continues, j);
      }
    }
    if (verdict != &scratch_verdict_) {
      std::memcpy(verdict->key.data(), key, key_size);
      verdict->key_size = static_cast<std::uint16_t>(key_size);
    }
  }
  // Lanes from `phase` on (around the orbit) that repeat the path and continue it; the
  // first lane that does not continue still counts when it repeats the path.
  std::array<std::uint64_t, 4> goes_on;
  for (int w = 0; w < 4; ++w) goes_on[w] = verdict->follows[w] & verdict->continues[w];
  std::uint64_t skip = most;
  constexpr unsigned kNone = ~0u;
  unsigned stop = kNone;  // the first lane from `phase` on (counted on) that does not go on
  for (unsigned k = 0; k <= 4 && stop == kNone; ++k) {
    const unsigned from = k == 0 ? phase : (phase / 64 + k) * 64;
    const std::uint64_t zeros = ~goes_on[(from / 64) % 4] >> (from % 64);
    if (zeros != 0) stop = from + static_cast<unsigned>(std::countr_zero(zeros));
  }
  if (stop != kNone) {
    const unsigned lane_index = stop % kLanes;
    const bool repeats = ((verdict->follows[lane_index / 64] >> (lane_index % 64)) & 1) != 0;
    skip = std::min<std::uint64_t>(most, stop - phase + (repeats ? 1 : 0));
  }
  if (skip == 0) return;

  // The state after the last skipped iteration: its lane's end.
  start_lane(static_cast<unsigned>((phase + skip - 1) % kLanes));
  RunLoopPass(pass, lane, false);
  for (int i = 0; i < pass.written_count; ++i) {
    const int loc = pass.written_list[i];
    if (loc < 256) {
      iram_[loc] = lane[loc];
    } else if (loc == kLocAcc) {
      acc_ = lane[loc];
    } else if (loc == kLocB) {
      b_ = lane[loc];
    } else if (loc == kLocPsw) {
      psw_ = lane[loc];
    } else {
      const int which = (loc - kLocDptr) / 2;
      dptr_[which] = static_cast<std::uint16_t>(lane[kLocDptr + 2 * which + 1] << 8 |
                                                lane[kLocDptr + 2 * which]);
    }
  }
  instructions_ += skip * instructions;
  fast_forwarded_ += skip * instructions;
  cycles_ += skip * cycles;
  for (std::uint64_t left = skip * cycles; left > 0;) {
    const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, 0x7FFFFFFF));
    bus_.AdvanceCycles(chunk);
    left -= chunk;
  }
}

}  // namespace vesk::sim
