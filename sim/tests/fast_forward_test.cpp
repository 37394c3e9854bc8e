// The fast-forward of wait loops must be invisible: each program runs twice, with and
// without it, and must end in the same state at the same cycle.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "sim/bus.h"
#include "sim/cpu8051.h"

namespace vesk::sim {
namespace {

constexpr std::uint16_t kFlagAddress = 0x8000;

// Reads 0 until its time, then 1; may raise INT0 at that time.
class Flag : public Peripheral {
 public:
  Flag(InterruptRequests& interrupts, SimTime at, bool interrupt, bool pure)
      : interrupts_(interrupts), at_(at), interrupt_(interrupt), pure_(pure) {}
  std::uint8_t ReadXdata(std::uint16_t) override { return raised_ ? 1 : 0; }
  bool ReadIsPure(std::uint16_t) const override { return pure_; }
  SimTime Tick(SimTime now) override {
    if (!raised_ && now >= at_) {
      raised_ = true;
      if (interrupt_) interrupts_.RequestInterrupt(Interrupt::Int0);
    }
    return raised_ ? kNever : at_;
  }

 private:
  InterruptRequests& interrupts_;
  SimTime at_;
  bool interrupt_, pure_, raised_ = false;
};

struct Program {
  const char* name;
  std::vector<std::uint8_t> main;  // placed at 0x0100; 0x0000 jumps there
  std::vector<std::uint8_t> isr;   // INT0's vector, 0x0003
  SimTime flagAt;
  bool interrupt, pure;
  bool skips;  // whether the fast-forward is expected to skip anything
};

struct End {
  std::uint64_t cycles, instructions, interrupts;
  std::uint16_t pc, dptr0, dptr1;
  std::uint8_t a, b, psw, sp;
  std::array<std::uint8_t, 256> iram;
  std::vector<std::uint8_t> ram;
  std::uint64_t skipped;
  bool operator==(const End& o) const {
    return cycles == o.cycles && instructions == o.instructions && interrupts == o.interrupts &&
           pc == o.pc && dptr0 == o.dptr0 && dptr1 == o.dptr1 && a == o.a && b == o.b &&
           psw == o.psw && sp == o.sp && iram == o.iram && ram == o.ram;
  }
};

// The state at checkpoints a little under half a millisecond apart, each reached by a
// cycle limit or a time limit that falls on no iteration boundary in particular.
std::vector<End> RunProgram(const Program& program, bool fastForward) {
  Bus bus;
  Cpu8051 cpu(bus);
  Flag flag(cpu, program.flagAt, program.interrupt, program.pure);
  bus.AttachXdata(kFlagAddress, kFlagAddress, &flag);
  std::vector<std::uint8_t> code = {0x02, 0x01, 0x00};
  code.insert(code.end(), program.isr.begin(), program.isr.end());
  code.resize(0x100, 0);
  code.insert(code.end(), program.main.begin(), program.main.end());
  std::copy(code.begin(), code.end(), bus.MainRam().begin());
  cpu.SetFastForward(fastForward);
  std::vector<End> ends;
  for (unsigned i = 0; i < 24; ++i) {
    if (i % 2 == 0) {
      cpu.Run(1001 + 37 * i);
    } else {
      cpu.RunUntil(bus.Now() + 333'333'333 + i * 1'234'567);
    }
    End end{bus.ElapsedCycles(),
            cpu.Instructions(),
            cpu.InterruptsTaken(),
            cpu.Pc(),
            cpu.Dptr(0),
            cpu.Dptr(1),
            cpu.A(),
            cpu.B(),
            cpu.Psw(),
            cpu.Sp(),
            {},
            {},
            0};
    for (int r = 0; r < 256; ++r) end.iram[r] = cpu.Iram(static_cast<std::uint8_t>(r));
    end.ram.assign(bus.MainRam().begin(), bus.MainRam().end());
    end.skipped = cpu.FastForwardedInstructions();
    ends.push_back(std::move(end));
  }
  return ends;
}

TEST(FastForward, EndsWhereSteppingEnds) {
  const SimTime ms = kPicosPerMilli;
  const std::vector<Program> programs = {
      {"poll without bound",  // MOV DPTR,#flag; MOVX A,@DPTR; JZ back; INC R3; then a loop
                              // writing XDATA (never skipped), as every program ends
       {0x90, 0x80, 0x00, 0xE0, 0x60, 0xFD, 0x0B, 0xF0, 0x80, 0xFD},
       {},
       2 * ms,
       false,
       true,
       true},
      {"poll whose read has an effect",
       {0x90, 0x80, 0x00, 0xE0, 0x60, 0xFD, 0x0B, 0xF0, 0x80, 0xFD},
       {},
       2 * ms,
       false,
       false,
       false},
      // The 16-bit pass counter as SDCC compiles it: DEC R6; CJNE R6,#FF; DEC R7; MOV A,R6;
      // ORL A,R7; JNZ. R6 wraps many times before the flag rises.
      {"poll with a pass counter",
       {0x7E, 0x20, 0x7F, 0x4E, 0x90, 0x80, 0x00, 0xE0, 0xFC, 0x20, 0xE0, 0x0A, 0x1E,
        0xBE, 0xFF, 0x01, 0x1F, 0xEE, 0x4F, 0x70, 0xEF, 0x0A, 0x0B, 0xF0, 0x80, 0xFD},
       {},
       2 * ms,
       false,
       true,
       true},
      {"pass counter running out first",
       {0x7E, 0x20, 0x7F, 0x02, 0x90, 0x80, 0x00, 0xE0, 0xFC, 0x20, 0xE0, 0x0A, 0x1E,
        0xBE, 0xFF, 0x01, 0x1F, 0xEE, 0x4F, 0x70, 0xEF, 0x0A, 0x0B, 0xF0, 0x80, 0xFD},
       {},
       20 * ms,
       false,
       true,
       true},
      // MOV R7,#5; MOV R6,#250; MOV R5,#200; DJNZ R5,$; DJNZ R6; DJNZ R7; INC R3
      {"nested delay loops",
       {0x7F, 0x05, 0x7E, 0xFA, 0x7D, 0xC8, 0xDD, 0xFE, 0xDE, 0xFA, 0xDF, 0xF6, 0x0B, 0xF0, 0x80,
        0xFD},
       {},
       0,
       false,
       true,
       true},
      // ADD and SUBB with carries and a bit of internal RAM stepped by INC direct.
      {"arithmetic on the counters",
       {0x75, 0x30, 0x00, 0xE5, 0x30, 0x24, 0x07, 0x95, 0x31, 0xF5, 0x32, 0x05,
        0x30, 0xA2, 0x00, 0xE5, 0x30, 0xB4, 0xF0, 0xEF, 0x0B, 0xF0, 0x80, 0xFD},
       {},
       0,
       false,
       true,
       true},
      // A loop that writes XDATA is stepped.
      {"loop with a write",
       {0x90, 0x10, 0x00, 0xE0, 0x04, 0xF0, 0x80, 0xFB},
       {},
       0,
       false,
       true,
       false},
      // IT0 = 1, EA = EX0 = 1; the loop waits for R3, which INT0's routine sets.
      {"wait for an interrupt",
       {0x75, 0x88, 0x01, 0x75, 0xA8, 0x81, 0xEB, 0x60, 0xFD, 0x0C, 0xF0, 0x80, 0xFD},
       {0x7B, 0x01, 0x32},
       2 * ms,
       true,
       true,
       true},
  };
  for (const Program& program : programs) {
    SCOPED_TRACE(program.name);
    const std::vector<End> stepped = RunProgram(program, false);
    const std::vector<End> skipped = RunProgram(program, true);
    for (std::size_t i = 0; i < stepped.size(); ++i) {
      EXPECT_TRUE(stepped[i] == skipped[i])
          << "checkpoint " << i << ": cycles " << stepped[i].cycles << " / " << skipped[i].cycles
          << ", instructions " << stepped[i].instructions << " / " << skipped[i].instructions
          << ", pc " << stepped[i].pc << " / " << skipped[i].pc << ", psw " << +stepped[i].psw
          << " / " << +skipped[i].psw;
    }
    EXPECT_EQ(skipped.back().skipped > 0, program.skips) << skipped.back().skipped;
  }
}

// A loop of random instructions, mostly of the kinds the fast-forward models, after a
// random start state; conditional jumps skip one instruction inside the loop.
std::vector<std::uint8_t> RandomLoop(std::mt19937& random) {
  auto pick = [&](unsigned n) { return static_cast<std::uint8_t>(random() % n); };
  auto iram = [&] { return static_cast<std::uint8_t>(0x30 + pick(16)); };
  auto direct = [&] {  // internal RAM mostly, sometimes A, B, PSW or DPL
    static constexpr std::uint8_t kSfrs[] = {0xE0, 0xF0, 0xD0, 0x82};
    return pick(5) == 0 ? kSfrs[pick(4)] : iram();
  };
  auto bit = [&] {  // bits of 0x20..0x2F, of A or of PSW
    static constexpr std::uint8_t kBits[] = {0xE0, 0xE7, 0xD7, 0xD0};
    return pick(3) == 0 ? kBits[pick(4)] : pick(0x80);
  };
  std::vector<std::uint8_t> code;
  for (std::uint8_t r = 0; r < 8; ++r)
    code.insert(code.end(), {static_cast<std::uint8_t>(0x78 + r), r < 2 ? iram() : pick(256)});
  for (std::uint8_t a = 0x20; a < 0x40; ++a) code.insert(code.end(), {0x75, a, pick(256)});
  code.insert(code.end(), {0x74, pick(256), 0x90, 0x10, pick(4)});
  const std::size_t head = code.size();
  const int length = 1 + pick(8);
  for (int i = 0; i < length; ++i) {
    const std::uint8_t rn = pick(8);
    switch (pick(14)) {
      case 0: {  // one-byte operations on A, C and registers
        static constexpr std::uint8_t kOps[] = {0x00, 0x04, 0x14, 0xE4, 0xF4, 0xC4, 0x03,
                                                0x13, 0x23, 0x33, 0xC3, 0xD3, 0xB3, 0xA3};
        code.push_back(kOps[pick(sizeof kOps)]);
        break;
      }
      case 1:  // INC, DEC, MOV A,Rn, MOV Rn,A, ORL, ANL, XRL, ADD, ADDC, SUBB with Rn
        code.push_back(
            static_cast<std::uint8_t>(std::uint8_t{0x08} +
                                      0x10 * std::uint8_t{std::array<std::uint8_t, 10>{
                                                 0, 1, 0xE, 0xF, 4, 5, 6, 2, 3, 9}[pick(10)]} +
                                      rn));
        break;
      case 2:  // the same with @Ri
        code.push_back(static_cast<std::uint8_t>(
            0x06 + 0x10 * std::array<std::uint8_t, 8>{0, 1, 0xE, 0xF, 4, 5, 2, 9}[pick(8)] +
            pick(2)));
        break;
      case 3: {  // with a direct operand
        static constexpr std::uint8_t kOps[] = {0xE5, 0x05, 0x15, 0x45, 0x55,
                                                0x65, 0x25, 0x35, 0x95};
        code.insert(code.end(), {kOps[pick(sizeof kOps)], direct()});
        break;
      }
      case 4:  // writes of a direct operand
        code.insert(code.end(),
                    {pick(2) ? std::uint8_t{0xF5} : static_cast<std::uint8_t>(0x88 + rn),
                     pick(4) ? iram() : std::uint8_t{0xF0}});
        break;
      case 5: {  // with an immediate
        static constexpr std::uint8_t kOps[] = {0x74, 0x44, 0x54, 0x64, 0x24, 0x34, 0x94};
        code.insert(
            code.end(),
            {pick(3) ? kOps[pick(sizeof kOps)] : static_cast<std::uint8_t>(0x78 + rn), pick(256)});
        break;
      }
      case 6:
        code.insert(code.end(), {static_cast<std::uint8_t>(0xA8 + rn), direct()});
        break;
      case 7:  // MOV C,bit; ANL C,bit; ORL C,bit
        code.insert(code.end(), {std::array<std::uint8_t, 3>{0xA2, 0x82, 0x72}[pick(3)], bit()});
        break;
      case 8:
        code.insert(code.end(), {0x75, iram(), pick(256)});
        break;
      case 9:
        code.insert(code.end(), {0x85, direct(), iram()});
        break;
      case 10:  // JC, JNC, JZ, JNZ, JB, JNB, DJNZ over one instruction
        switch (pick(4)) {
          case 0:
            code.insert(code.end(), {static_cast<std::uint8_t>(0x40 + 0x10 * pick(4)), 1});
            break;
          case 1:
            code.insert(code.end(), {pick(2) ? std::uint8_t{0x20} : std::uint8_t{0x30}, bit(), 1});
            break;
          case 2:
            code.insert(code.end(), {static_cast<std::uint8_t>(0xD8 + rn), 1});
            break;
          default:
            code.insert(code.end(), {0xD5, iram(), 1});
        }
        code.push_back(static_cast<std::uint8_t>(0x08 + pick(8)));
        break;
      case 11:  // CJNE over one instruction
        if (pick(2)) {
          code.insert(code.end(), {static_cast<std::uint8_t>(0xB4 + pick(4)),
                                   pick(2) ? direct() : pick(256), 1});
        } else {
          code.insert(code.end(), {static_cast<std::uint8_t>(0xB8 + rn), pick(256), 1});
        }
        code.push_back(0x04);
        break;
      case 12:  // reads of XDATA RAM or the flag; rarely a write or a stack operation
        if (pick(8) == 0) {
          code.push_back(pick(2) ? std::uint8_t{0xF0} : std::uint8_t{0xC0});
          if (code.back() == 0xC0) code.insert(code.end(), {iram(), 0xD0, iram()});
        } else {
          if (pick(2))
            code.insert(code.end(),
                        {0x90, pick(2) ? std::uint8_t{0x80} : std::uint8_t{0x10}, 0x00});
          code.push_back(0xE0);
        }
        break;
      default:
        code.insert(code.end(), {0x80, 0});
    }
  }
  // Back to the head: SJMP, or DJNZ on a byte of internal RAM (which ends the loop).
  const auto back = [&](std::size_t size) {
    return static_cast<std::uint8_t>(static_cast<int>(head) - static_cast<int>(code.size() + size));
  };
  if (pick(2)) {
    code.insert(code.end(), {0x80, back(2)});
  } else {
    code.insert(code.end(), {0xD5, iram(), back(3)});
  }
  code.insert(code.end(), {0xF0, 0x80, 0xFD});
  return code;
}

TEST(FastForward, RandomLoopsEndWhereSteppingEnds) {
  std::mt19937 random(12);
  int skipping = 0;
  constexpr int kLoops = 300;
  for (int seed = 0; seed < kLoops; ++seed) {
    SCOPED_TRACE(seed);
    const Program program{
        "", RandomLoop(random), {}, (1 + random() % 6) * kPicosPerMilli, false, true, false};
    if (HasFailure()) break;
    const std::vector<End> stepped = RunProgram(program, false);
    const std::vector<End> skipped = RunProgram(program, true);
    for (std::size_t i = 0; i < stepped.size(); ++i)
      ASSERT_TRUE(stepped[i] == skipped[i]) << "checkpoint " << i << ", pc " << stepped[i].pc;
    skipping += skipped.back().skipped > 0;
  }
  // Most loops qualify; the rest run stepped and must end the same all the same.
  EXPECT_GT(skipping, kLoops / 2);
}

}  // namespace
}  // namespace vesk::sim
