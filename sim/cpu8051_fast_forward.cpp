// The exact fast-forward of wait loops (see cpu8051.h).
//
// At the target of a backward jump the core steps one real iteration and notes its path.
// The instruction set then replays that path on copies of the register state, one copy
// ("lane") per coming iteration j, each started at S1 + j * D, where S1 is the state after
// the real iteration and D its change over it. Lane j is checked to follow the same path
// and to end where lane j + 1 starts; then iteration j ends with lane j's state. As every
// byte moves modulo 256, lane 256 would start where lane 0 does: when 256 lanes (or, for a
// fixed point, one) pass, the loop repeats for ever. A pass admits only instructions without
// side effects outside registers and internal RAM whose writes do not depend on the values
// they meet; anything else makes the loop ineligible. Peripheral values it reads stay what
// they are until the next peripheral deadline, which bounds the skip.

#include "sim/cpu8051_fast_forward.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "sim/cpu8051.h"
#include "sim/cpu8051_instructions.h"

namespace vesk::sim {

namespace {

constexpr int kLanes = 256;
constexpr std::uint64_t kShortestSkip = 4;
constexpr std::uint8_t kUntouched = 0, kReadFirst = 1, kWrittenFirst = 2;

// The opcodes a pass replays: moves, arithmetic and logic on A, registers, internal RAM,
// DPTR and the carry, jumps and branches, and MOVX reads.
constexpr std::array<bool, 256> kPassOpcodes = [] {
  std::array<bool, 256> table{};
  auto admit = [&](int from, int to) {
    for (int op = from; op <= to; ++op) table[op] = true;
  };
  for (int op : {0x00, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x13, 0x14, 0x15, 0x16, 0x17, 0x20,
                 0x23, 0x30, 0x33, 0x40, 0x50, 0x60, 0x70, 0x72, 0x74, 0x75, 0x76, 0x77, 0x80,
                 0x82, 0x85, 0x90, 0xA2, 0xA3, 0xB3, 0xC3, 0xC4, 0xD3, 0xD5, 0xE0, 0xE2, 0xE3,
                 0xE4, 0xF4, 0xF5, 0xF6, 0xF7})
    table[op] = true;
  for (int op = 0x01; op <= 0xE1; op += 0x20) table[op] = true;  // AJMP
  admit(0x08, 0x0F);  // INC Rn
  admit(0x18, 0x1F);  // DEC Rn
  admit(0x24, 0x2F);  // ADD
  admit(0x34, 0x3F);  // ADDC
  admit(0x44, 0x4F);  // ORL A
  admit(0x54, 0x5F);  // ANL A
  admit(0x64, 0x6F);  // XRL A
  admit(0x78, 0x7F);  // MOV Rn, #imm
  admit(0x88, 0x8F);  // MOV direct, Rn
  admit(0x94, 0x9F);  // SUBB
  admit(0xA8, 0xAF);  // MOV Rn, direct
  admit(0xB4, 0xBF);  // CJNE
  admit(0xD8, 0xDF);  // DJNZ Rn
  admit(0xE5, 0xEF);  // MOV A, source
  admit(0xF8, 0xFF);  // MOV Rn, A
  return table;
}();

}  // namespace

void LoopFastForward::LoopPass::Clear() {
  length = 0;
  hasRead.fill(false);
  readValue.fill(0);
  indirect.fill(0);
  constantCount = 0;
  for (int i = 0; i < touchedCount; ++i) {
    first[touchedList[i]] = kUntouched;
    written[touchedList[i]] = false;
  }
  touchedCount = writtenCount = liveCount = 0;
  unsupported = false;
}

thread_local std::array<LoopFastForward::LoopVerdict, 256> LoopFastForward::verdicts_;

// The instruction set on a lane: the flattened state, each first touch noted in the first
// pass, and every value from outside it (peripherals, XDATA, @Ri's address) the same in
// every lane as in the first pass.
class LoopFastForward::LaneAccess {
 public:
  LaneAccess(LoopFastForward& owner, std::uint8_t* state, bool first)
      : pass_(owner.pass_), cpu_(owner.cpu_), s_(state), first_(first), bank_(cpu_.psw_ & 0x18) {}

  bool Ok() const { return ok_; }
  void Fail() {
    if (first_) pass_.unsupported = true;
    ok_ = false;
  }
  void Diverge() { ok_ = false; }
  void StartInstruction(int index, std::uint16_t pc) {
    index_ = index;
    pc_ = pc;
  }
  std::uint8_t NextOpcode() const { return cpu_.code_[pc_]; }

  std::uint16_t Pc() const { return pc_; }
  void SetPc(std::uint16_t pc) { pc_ = pc; }
  std::uint8_t Fetch() { return cpu_.code_[pc_++]; }
  std::uint8_t CodeByte(std::uint16_t address) { return cpu_.CodeByte(address); }
  std::uint8_t A() { return Get(kLocAcc); }
  void SetA(std::uint8_t value) { Put(kLocAcc, value); }
  std::uint8_t B() { return Get(kLocB); }
  void SetB(std::uint8_t value) { Put(kLocB, value); }
  std::uint8_t Flags() { return Get(kLocPsw); }
  void SetFlags(std::uint8_t value) { Put(kLocPsw, value); }  // the path cannot change the bank
  std::uint8_t R(int n) { return Get(bank_ + n); }
  void SetR(int n, std::uint8_t value) { Put(bank_ + n, value); }
  // The internal RAM address in Ri; like an external address, the same in every lane (so
  // that every pass reads and writes the same locations).
  std::uint8_t RiAddress(int n) {
    const std::uint8_t address = Get(bank_ + n);
    if (first_) {
      pass_.indirect[index_] = address;
    } else if (pass_.indirect[index_] != address) {
      Diverge();
    }
    return address;
  }
  std::uint8_t Iram(std::uint8_t address) { return Get(address); }
  void SetIram(std::uint8_t address, std::uint8_t value) { Put(address, value); }

  std::uint8_t Direct(std::uint8_t address) {
    if (address < 0x80) return Get(address);
    switch (address) {
      case Cpu8051::kAcc:
        return Get(kLocAcc);
      case Cpu8051::kB:
        return Get(kLocB);
      case Cpu8051::kPsw:
        return static_cast<std::uint8_t>(Get(kLocPsw) | (std::popcount(Get(kLocAcc)) & 1));
      case Cpu8051::kDpl0:
      case Cpu8051::kDph0:
      case Cpu8051::kDpl1:
      case Cpu8051::kDph1:
        return Get(kLocDptr + address - Cpu8051::kDpl0);
      case Cpu8051::kSp:
        return Constant(cpu_.sp_);
      case Cpu8051::kDps:
        return Constant(cpu_.dps_);
      case Cpu8051::kMpage:
        return Constant(cpu_.mpage_);
      default:
        break;
    }
    if (cpu_.bus_.SfrOwner(address) != nullptr) return External(address, true);
    if (!Cpu8051::IsCoreSfrAddress(address)) Fail();  // an unmodelled SFR's read is recorded
    return Constant(cpu_.sfr_[address - 0x80]);
  }
  void SetDirect(std::uint8_t address, std::uint8_t value) {
    if (address < 0x80) {
      Put(address, value);
    } else if (address == Cpu8051::kAcc) {
      Put(kLocAcc, value);
    } else if (address == Cpu8051::kB) {
      Put(kLocB, value);
    } else if (address >= Cpu8051::kDpl0 && address <= Cpu8051::kDph1) {
      Put(kLocDptr + address - Cpu8051::kDpl0, value);
    } else {
      Fail();
    }
  }
  bool Bit(std::uint8_t bit) {
    const auto byte = bit < 0x80 ? static_cast<std::uint8_t>(0x20 + (bit >> 3))
                                 : static_cast<std::uint8_t>(bit & 0xF8);
    return ((Direct(byte) >> (bit & 7)) & 1) != 0;
  }
  std::uint16_t Dptr() {
    const int low = DptrLow();
    return static_cast<std::uint16_t>(Get(low + 1) << 8 | Get(low));
  }
  void SetDptr(std::uint16_t value) {
    const int low = DptrLow();
    Put(low + 1, static_cast<std::uint8_t>(value >> 8));
    Put(low, static_cast<std::uint8_t>(value));
  }
  std::uint8_t Mpage() { return Constant(cpu_.mpage_); }
  std::uint8_t ReadXdata(std::uint16_t address) { return External(address, false); }
  std::uint32_t MovxCycles() const { return 0; }
  std::uint8_t LjmpLow(std::uint16_t, std::uint8_t low) const { return low; }

  // Side effects a pass never has (their opcodes are not admitted).
  void SetBit(std::uint8_t, bool) { Fail(); }
  void WriteXdata(std::uint16_t, std::uint8_t) { Fail(); }
  void Push(std::uint8_t) { Fail(); }
  std::uint8_t Pop() {
    Fail();
    return 0;
  }
  void ReturnFromInterrupt() { Fail(); }
  void UndefinedOpcode(std::uint16_t) { Fail(); }

 private:
  int DptrLow() const { return kLocDptr + 2 * (cpu_.dps_ & 1); }
  void Touch(int loc, bool write) {
    if (!first_) return;
    if (pass_.first[loc] == kUntouched) {
      pass_.first[loc] = write ? kWrittenFirst : kReadFirst;
      pass_.touchedList[pass_.touchedCount++] = static_cast<std::uint16_t>(loc);
      if (!write) pass_.liveList[pass_.liveCount++] = static_cast<std::uint16_t>(loc);
    }
    if (write && !pass_.written[loc]) {
      pass_.written[loc] = true;
      pass_.writtenList[pass_.writtenCount++] = static_cast<std::uint16_t>(loc);
    }
  }
  std::uint8_t Get(int loc) {
    Touch(loc, false);
    return s_[loc];
  }
  void Put(int loc, std::uint8_t value) {
    Touch(loc, true);
    s_[loc] = value;
  }
  // A peripheral or XDATA value; its address must be the same in every lane.
  std::uint8_t External(std::uint16_t address, bool sfr) {
    Bus& bus = cpu_.bus_;
    if (first_) {
      const bool pure =
          sfr ? bus.SfrReadIsPure(static_cast<std::uint8_t>(address)) : bus.ReadIsPure(address);
      if (!pure) {
        Fail();
        return 0;
      }
      pass_.hasRead[index_] = true;
      pass_.readAddress[index_] = address;
      pass_.readValue[index_] =
          sfr ? bus.ReadSfr(static_cast<std::uint8_t>(address)) : bus.ReadXdata(address);
    } else if (!pass_.hasRead[index_] || pass_.readAddress[index_] != address) {
      Diverge();
      return 0;
    }
    return pass_.readValue[index_];
  }
  std::uint8_t Constant(std::uint8_t value) {
    if (first_ && pass_.constantCount < static_cast<int>(pass_.constants.size()))
      pass_.constants[pass_.constantCount++] = value;
    return value;
  }

  LoopPass& pass_;
  Cpu8051& cpu_;
  std::uint8_t* s_;
  const bool first_;
  const int bank_;
  bool ok_ = true;
  int index_ = 0;
  std::uint16_t pc_ = 0;
};

bool LoopFastForward::RunPass(std::uint8_t* state, bool first) {
  LaneAccess lane(*this, state, first);
  for (int index = 0; index < pass_.length && lane.Ok(); ++index) {
    lane.StartInstruction(index, pass_.path[index]);
    if (!kPassOpcodes[lane.NextOpcode()]) {
      lane.Fail();
      break;
    }
    instructions::ExecuteInstruction(lane);
    const std::uint16_t pc = lane.Pc();
    const std::uint16_t next = index + 1 < pass_.length ? pass_.path[index + 1] : pass_.path[0];
    if (pc != next) lane.Diverge();
  }
  return lane.Ok();
}

void LoopFastForward::Capture(std::uint8_t* state) const {
  std::memcpy(state, cpu_.iram_.data(), 256);
  state[kLocAcc] = cpu_.acc_;
  state[kLocB] = cpu_.b_;
  state[kLocPsw] = cpu_.psw_;
  for (int i = 0; i < 2; ++i) {
    state[kLocDptr + 2 * i] = static_cast<std::uint8_t>(cpu_.dptr_[i]);
    state[kLocDptr + 2 * i + 1] = static_cast<std::uint8_t>(cpu_.dptr_[i] >> 8);
  }
}

void LoopFastForward::Try(std::uint64_t endCycle, std::uint32_t untilPc) {
  if (cpu_.attention_ || cpu_.timersRunning_) return;
  const std::uint16_t head = cpu_.pc_;
  LoopHint& hint = hints_[head % hints_.size()];
  if (hint.head == head && hint.wait > 0) {
    --hint.wait;
    return;
  }
  auto giveUp = [&] {
    if (hint.head != head) hint = LoopHint{head, 0, 0};
    hint.wait = static_cast<std::uint16_t>(1u << hint.backoff);
    hint.backoff = static_cast<std::uint8_t>(std::min(hint.backoff + 1, 12));
  };

  // One real iteration, stepped as the run would step it.
  std::uint8_t before[kLocations];
  Capture(before);
  LoopPass& pass = pass_;
  pass.Clear();
  const unsigned mhz = cpu_.bus_.ClockMhz();
  const std::uint64_t startCycle = cpu_.bus_.ElapsedCycles();
  const std::uint64_t startInstructions = cpu_.instructions_;
  do {
    if (pass.length == kMaxLoopInstructions) return giveUp();
    if (cpu_.bus_.ElapsedCycles() >= endCycle || cpu_.pc_ == untilPc) return;
    pass.path[pass.length++] = cpu_.pc_;
    cpu_.Step();
    // An interrupt to weigh, idle, a fault, a new clock speed (which moves the run's end
    // when it is a time), or a change the run is to stop at: not waiting now.
    if (cpu_.attention_ || cpu_.bus_.ClockMhz() != mhz) return;
    if (cpu_.StopsAtChange()) return;
  } while (cpu_.pc_ != head);
  for (int i = 0; i < pass.length; ++i) {
    if (pass.path[i] == untilPc) return;
  }

  const std::uint64_t now = cpu_.bus_.ElapsedCycles();
  const std::uint64_t cycles = now - startCycle;
  const std::uint64_t instructions = cpu_.instructions_ - startInstructions;
  // Whole iterations that end no later than the next deadline and start before the limit.
  const std::uint64_t deadline = std::min(cpu_.bus_.NextEventCycle(), endCycle);
  if (deadline <= now) return;
  const std::uint64_t most = (deadline - now) / cycles;
  // A skip of a few passes costs more than stepping them.
  if (most < kShortestSkip) return;

  std::uint8_t start[kLocations];
  Capture(start);
  std::uint8_t lane[kLocations];
  std::memcpy(lane, start, sizeof lane);
  if (!RunPass(lane, true)) {
    if (pass.unsupported) giveUp();
    return;
  }
  hint.backoff = 0;
  // What a pass reads before writing it carries over from the pass before: those bytes
  // must have moved by delta (if written) or not at all. Other bytes' deltas do not matter.
  const std::uint16_t* live = pass.liveList.data();
  const int liveCount = pass.liveCount;
  std::uint16_t changed[kLocations];  // read before written, and written
  int changedCount = 0;
  bool fixedPoint = true;
  std::uint8_t delta[kLocations];  // set for the live bytes only
  for (int i = 0; i < liveCount; ++i) {
    const int loc = live[i];
    delta[loc] = static_cast<std::uint8_t>(start[loc] - before[loc]);
    if (!pass.written[loc] && delta[loc] != 0) return;
    if (pass.written[loc]) changed[changedCount++] = static_cast<std::uint16_t>(loc);
    fixedPoint = fixedPoint && delta[loc] == 0;
  }
  // Lanes are numbered from a base state on the loop's orbit: the current state is lane
  // `phase`. With a carried byte whose delta is odd, the base is where that byte is 0, so
  // that every visit to the same wait (the same orbit) finds the same verdict.
  unsigned phase = 0;
  bool onOrbit = fixedPoint;
  for (int i = 0; i < changedCount && !fixedPoint; ++i) {
    const std::uint8_t step = delta[changed[i]];
    if ((step & 1) == 0) continue;
    onOrbit = true;
    std::uint8_t inverse = step;  // Newton's iteration for the inverse modulo 256
    for (int n = 0; n < 3; ++n) inverse = static_cast<std::uint8_t>(inverse * (2 - step * inverse));
    phase = static_cast<std::uint8_t>(start[changed[i]] * inverse);
    break;
  }
  std::uint8_t base[kLocations];
  for (int i = 0; i < liveCount; ++i) {
    const int loc = live[i];
    base[loc] = static_cast<std::uint8_t>(start[loc] - phase * delta[loc]);
  }
  // Lane j ended where lane j + 1 starts (taken modulo 256)?
  auto continues = [&](const std::uint8_t* end, unsigned next) {
    for (int i = 0; i < changedCount; ++i) {
      const int loc = changed[i];
      if (end[loc] != static_cast<std::uint8_t>(base[loc] + next * delta[loc])) return false;
    }
    return true;
  };
  auto startLane = [&](unsigned j) {
    for (int i = 0; i < liveCount; ++i) {
      const int loc = live[i];
      lane[loc] = static_cast<std::uint8_t>(base[loc] + j * delta[loc]);
    }
  };

  // The verdict depends only on the path's code, the values it reads and the carried bytes
  // at the base with their deltas; waits that recur find it here.
  std::uint8_t key[LoopVerdict::kKeySize];
  std::size_t keySize = 0;
  auto addKey = [&](std::uint8_t byte) {
    if (keySize < sizeof key) key[keySize] = byte;
    ++keySize;
  };
  for (int i = 0; i < pass.length; ++i) {
    const std::uint16_t pc = pass.path[i];
    addKey(static_cast<std::uint8_t>(pc >> 8));
    addKey(static_cast<std::uint8_t>(pc));
    for (int b = 0; b < 3; ++b) addKey(cpu_.code_[static_cast<std::uint16_t>(pc + b)]);
    addKey(pass.readValue[i]);
    addKey(pass.indirect[i]);
  }
  for (int i = 0; i < pass.constantCount; ++i) addKey(pass.constants[i]);
  for (int i = 0; i < liveCount; ++i) {
    addKey(static_cast<std::uint8_t>(live[i] >> 8));
    addKey(static_cast<std::uint8_t>(live[i]));
    addKey(base[live[i]]);
    addKey(delta[live[i]]);
  }
  LoopVerdict* verdict = &scratchVerdict_;
  bool known = false;
  // Off an orbit the values themselves are the key: such a verdict is not kept.
  if (keySize <= sizeof key && onOrbit) {
    std::uint64_t hash = keySize;
    for (std::size_t i = 0; i < keySize; i += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, key + i, std::min<std::size_t>(8, keySize - i));
      hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
      hash ^= hash >> 32;
    }
    hash ^= hash >> 33;
    hash *= 0xFF51AFD7ED558CCDull;
    hash ^= hash >> 33;
    verdict = &verdicts_[hash % verdicts_.size()];
    known = verdict->keySize == keySize && std::memcmp(verdict->key.data(), key, keySize) == 0;
  }
  if (!known) {
    // Lane j repeats the path (`follows`) and ends where lane j + 1 starts (`continues`).
    verdict->follows.fill(0);
    verdict->continues.fill(0);
    auto set = [](std::array<std::uint64_t, 4>& bits, unsigned j) {
      bits[j / 64] |= 1ull << (j % 64);
    };
    if (fixedPoint) {
      // Every lane is lane 0.
      const bool repeats = continues(lane, 1);
      verdict->follows.fill(~0ull);
      if (repeats) verdict->continues.fill(~0ull);
    } else {
      const auto lanes =
          onOrbit ? kLanes : static_cast<unsigned>(std::min<std::uint64_t>(most, kLanes));
      for (unsigned j = 0; j < lanes; ++j) {
        startLane(j);
        if (!RunPass(lane, false)) continue;
        set(verdict->follows, j);
        if (continues(lane, j + 1)) set(verdict->continues, j);
      }
    }
    if (verdict != &scratchVerdict_) {
      std::memcpy(verdict->key.data(), key, keySize);
      verdict->keySize = static_cast<std::uint16_t>(keySize);
    }
  }
  // Lanes from `phase` on (around the orbit) that repeat the path and continue it; the
  // first lane that does not continue still counts when it repeats the path.
  std::array<std::uint64_t, 4> goesOn;
  for (int w = 0; w < 4; ++w) goesOn[w] = verdict->follows[w] & verdict->continues[w];
  std::uint64_t skip = most;
  constexpr unsigned kNone = ~0u;
  unsigned stop = kNone;  // the first lane from `phase` on (counted on) that does not go on
  for (unsigned k = 0; k <= 4 && stop == kNone; ++k) {
    const unsigned from = k == 0 ? phase : (phase / 64 + k) * 64;
    const std::uint64_t zeros = ~goesOn[(from / 64) % 4] >> (from % 64);
    if (zeros != 0) stop = from + static_cast<unsigned>(std::countr_zero(zeros));
  }
  if (stop != kNone) {
    const unsigned laneIndex = stop % kLanes;
    const bool repeats = ((verdict->follows[laneIndex / 64] >> (laneIndex % 64)) & 1) != 0;
    skip = std::min<std::uint64_t>(most, stop - phase + (repeats ? 1 : 0));
  }
  if (skip == 0) return;

  // The state after the last skipped iteration: its lane's end.
  startLane(static_cast<unsigned>((phase + skip - 1) % kLanes));
  RunPass(lane, false);
  for (int i = 0; i < pass.writtenCount; ++i) {
    const int loc = pass.writtenList[i];
    if (loc < 256) {
      cpu_.iram_[loc] = lane[loc];
    } else if (loc == kLocAcc) {
      cpu_.acc_ = lane[loc];
    } else if (loc == kLocB) {
      cpu_.b_ = lane[loc];
    } else if (loc == kLocPsw) {
      cpu_.psw_ = lane[loc];
    } else {
      const int which = (loc - kLocDptr) / 2;
      cpu_.dptr_[which] = static_cast<std::uint16_t>(lane[kLocDptr + 2 * which + 1] << 8 |
                                                lane[kLocDptr + 2 * which]);
    }
  }
  cpu_.instructions_ += skip * instructions;
  skipped_ += skip * instructions;
  cpu_.cycles_ += skip * cycles;
  for (std::uint64_t left = skip * cycles; left > 0;) {
    const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, 0x7FFFFFFF));
    cpu_.bus_.AdvanceCycles(chunk);
    left -= chunk;
  }
}

}  // namespace vesk::sim
