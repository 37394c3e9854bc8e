// The fast-forward of wait loops must be invisible: the same run with and without it ends at
// the same cycle with the same CPU state and memories, for loops made up here and for the
// whole tool on the emulated board.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string_view>
#include <vector>

#include "firmware/tests/sample_run.h"
#include "sim/board/emulated_board.h"

namespace vesk {
namespace {

using sim::board::EmulatedBoard;
using State = std::vector<std::uint64_t>;

// Reads 0 until its time, then 1, raising INT0 then if asked to.
class Flag : public sim::Peripheral {
 public:
  Flag(sim::InterruptRequests& cpu, sim::SimTime at, bool interrupt, bool pure)
      : cpu_(cpu), at_(at), interrupt_(interrupt), pure_(pure) {}
  std::uint8_t ReadXdata(std::uint16_t) override { return raised_ ? 1 : 0; }
  bool ReadIsPure(std::uint16_t) const override { return pure_; }
  sim::SimTime Tick(sim::SimTime now) override {
    if (!raised_ && now >= at_) {
      raised_ = true;
      if (interrupt_) cpu_.RequestInterrupt(sim::Interrupt::Int0);
    }
    return raised_ ? sim::kNever : at_;
  }

 private:
  sim::InterruptRequests& cpu_;
  sim::SimTime at_;
  bool interrupt_, pure_, raised_ = false;
};

struct Loop {
  const char* name;
  std::vector<std::uint8_t> main;  // at 0x0100; ends in a loop writing XDATA (never skipped)
  std::vector<std::uint8_t> isr;   // INT0's vector
  unsigned flagAtMs;               // the flag at 0x8000 rises then
  bool interrupt, pure;
  bool skips;  // whether anything is expected to be skipped
};

std::vector<std::uint8_t> Hex(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  return bytes;
}

// Loop-body instructions the fast-forward models (and a few it does not): hex bytes, where
// + adds 0-7 to the opcode before it (R0-R7) and / adds 0-1 (@R0, @R1); r is a direct
// operand read (internal RAM 0x30-0x3F, or A, B, PSW, DPL), w one written (RAM or B), i an
// immediate, t a bit, j a jump over the INC Rn that follows.
constexpr std::string_view kShapes[] = {
    "00",   "04",   "14",   "E4",    "F4",    "C4",    "03",       "13",   "23",   "33",
    "C3",   "D3",   "B3",   "A3",    "08+",   "18+",   "E8+",      "F8+",  "48+",  "58+",
    "68+",  "28+",  "38+",  "98+",   "06/",   "16/",   "E6/",      "F6/",  "46/",  "56/",
    "26/",  "96/",  "E5r",  "05r",   "15r",   "45r",   "55r",      "65r",  "25r",  "35r",
    "95r",  "F5w",  "88+w", "74i",   "44i",   "54i",   "24i",      "34i",  "94i",  "78+i",
    "A8+r", "A2t",  "82t",  "72t",   "75wi",  "85rw",  "40j",      "50j",  "60j",  "70j",
    "20tj", "30tj", "D8+j", "D5wj",  "B4ij",  "B5rj",  "B8+ij",    "B6/ij", "E0",  "901000E0",
    "908000E0", "F0", "C0wD0w", "8000"};

// A random start state, a loop of up to eight random shapes, back by SJMP or by DJNZ on a
// byte of internal RAM (which ends the loop).
std::vector<std::uint8_t> RandomLoop(std::mt19937& random) {
  auto pick = [&](unsigned n) { return static_cast<std::uint8_t>(random() % n); };
  auto ram = [&] { return static_cast<std::uint8_t>(0x30 + pick(16)); };
  std::vector<std::uint8_t> code;
  for (std::uint8_t r = 0; r < 8; ++r)
    code.insert(code.end(), {static_cast<std::uint8_t>(0x78 + r), r < 2 ? ram() : pick(256)});
  for (std::uint8_t a = 0x20; a < 0x40; ++a) code.insert(code.end(), {0x75, a, pick(256)});
  code.insert(code.end(), {0x74, pick(256), 0x90, 0x10, pick(4)});
  const std::size_t head = code.size();
  for (int i = 1 + pick(8); i > 0; --i) {
    const std::string_view shape = kShapes[pick(std::size(kShapes))];
    for (std::size_t c = 0; c < shape.size(); ++c) {
      switch (shape[c]) {
        case '+': code.back() = static_cast<std::uint8_t>(code.back() + pick(8)); break;
        case '/': code.back() = static_cast<std::uint8_t>(code.back() + pick(2)); break;
        case 'r': code.push_back(pick(5) ? ram() : std::array{0xE0, 0xF0, 0xD0, 0x82}[pick(4)]); break;
        case 'w': code.push_back(pick(4) ? ram() : 0xF0); break;
        case 'i': code.push_back(pick(256)); break;
        case 't': code.push_back(pick(3) ? pick(0x80) : std::array{0xE0, 0xE7, 0xD7, 0xD0}[pick(4)]); break;
        case 'j': code.insert(code.end(), {1, static_cast<std::uint8_t>(0x08 + pick(8))}); break;
        default: code.push_back(Hex(shape.substr(c++, 2))[0]);
      }
    }
  }
  const auto back = [&](int size) { return static_cast<std::uint8_t>(int(head) - int(code.size()) - size); };
  if (pick(2)) {
    code.insert(code.end(), {0x80, back(2)});
  } else {
    code.insert(code.end(), {0xD5, ram(), back(3)});
  }
  code.insert(code.end(), {0xF0, 0x80, 0xFD});
  return code;
}

void AddCore(State& s, sim::Cpu8051& cpu, sim::Bus& bus) {
  s.insert(s.end(), {bus.ElapsedCycles(), cpu.Cycles(), cpu.Instructions(), cpu.InterruptsTaken(),
                     cpu.Pc(), cpu.Dptr(0), cpu.Dptr(1), cpu.A(), cpu.B(), cpu.Psw(), cpu.Sp()});
  for (int r = 0; r < 256; ++r) s.push_back(cpu.Iram(static_cast<std::uint8_t>(r)));
  s.insert(s.end(), bus.MainRam().begin(), bus.MainRam().end());
}

// The state at 24 checkpoints a little under half a millisecond apart, each reached by a
// cycle or a time limit that falls on no pass boundary in particular.
State RunLoop(const Loop& loop, bool fastForward, std::uint64_t& skipped) {
  sim::Bus bus;
  sim::Cpu8051 cpu(bus);
  Flag flag(cpu, loop.flagAtMs * sim::kPicosPerMilli, loop.interrupt, loop.pure);
  bus.AttachXdata(0x8000, 0x8000, &flag);
  std::vector<std::uint8_t> code = {0x02, 0x01, 0x00};
  code.insert(code.end(), loop.isr.begin(), loop.isr.end());
  code.resize(0x100, 0);
  code.insert(code.end(), loop.main.begin(), loop.main.end());
  std::copy(code.begin(), code.end(), bus.MainRam().begin());
  cpu.SetFastForward(fastForward);
  State state;
  for (unsigned i = 0; i < 24; ++i) {
    if (i % 2 == 0) {
      cpu.Run(1001 + 37 * i);
    } else {
      cpu.RunUntil(bus.Now() + 333'333'333 + i * 1'234'567);
    }
    AddCore(state, cpu, bus);
  }
  skipped = cpu.FastForwardedInstructions();
  return state;
}

// The tool's whole run, then a power cycle and 300 ms more: where the board ended.
State RunBoard(const std::function<void(EmulatedBoard&)>& fault, bool fastForward,
               std::uint64_t& skipped) {
  EmulatedBoard board;
  board.cpu().SetFastForward(fastForward);
  fault(board);
  test::ToolRun tool(board);
  const RunOutcome outcome = tool.Run();
  board.PowerCycle();
  board.RunFor(300 * sim::kPicosPerMilli);
  State state = {static_cast<std::uint64_t>(outcome), board.Now(), board.LedToggles()};
  AddCore(state, board.cpu(), board.bus());
  state.insert(state.end(), tool.host.text.begin(), tool.host.text.end());
  state.insert(state.end(), board.bus().ScratchRam().begin(), board.bus().ScratchRam().end());
  const std::vector<std::uint8_t> eeprom = board.SaveEepromImage();
  state.insert(state.end(), eeprom.begin(), eeprom.end());
  for (const auto& r : board.RequestLog())
    state.insert(state.end(), {std::uint64_t(r.status), r.actualLength, r.start, r.duration});
  skipped = board.cpu().FastForwardedInstructions() * 10 / board.cpu().Instructions();
  return state;
}

void ExpectSame(const State& stepped, const State& fast) {
  ASSERT_EQ(stepped.size(), fast.size());
  const auto [a, b] = std::mismatch(stepped.begin(), stepped.end(), fast.begin());
  EXPECT_TRUE(a == stepped.end()) << "first difference at " << a - stepped.begin() << ": "
                                  << (a == stepped.end() ? 0 : *a) << " stepped, "
                                  << (a == stepped.end() ? 0 : *b) << " fast-forwarded";
}

TEST(FastForward, RunsEndWhereSteppingEnds) {
  std::vector<Loop> loops = {
      {"poll without bound", Hex("908000E060FD0BF080FD"), {}, 2, false, true, true},
      {"poll whose read has an effect", Hex("908000E060FD0BF080FD"), {}, 2, false, false, false},
      // A 16-bit pass counter as SDCC compiles it: DEC R6; CJNE R6,#FF; DEC R7; ORL; JNZ.
      {"poll with a pass counter", Hex("7E207F4E908000E0FC20E00A1EBEFF011FEE4F70EF0A0BF080FD"),
       {}, 2, false, true, true},
      {"pass counter running out first",
       Hex("7E207F02908000E0FC20E00A1EBEFF011FEE4F70EF0A0BF080FD"), {}, 20, false, true, true},
      {"nested DJNZ delays", Hex("7F057EFA7DC8DDFEDEFADFF60BF080FD"), {}, 0, false, true, true},
      {"ADD, SUBB and INC direct on counters",
       Hex("753000E53024079531F5320530A200E530B4F0EF0BF080FD"), {}, 0, false, true, true},
      {"loop writing XDATA", Hex("901000E004F080FB"), {}, 0, false, true, false},
      // ORL C,bit sets and ANL C,bit clears the carry only for some passes' bits.
      {"carry from changing bits", Hex("752000C305207200820180F80BF080FD"), {}, 0, false, true,
       true},
      // EX0 edge-triggered; the loop waits for R3, which INT0's routine sets.
      {"wait for an interrupt", Hex("75880175A881EB60FD0CF080FD"), Hex("7B0132"), 2, true, true,
       true},
  };
  std::mt19937 random(12);
  constexpr int kRandom = 300;
  for (int i = 0; i < kRandom; ++i)
    loops.push_back({"random", RandomLoop(random), {}, 1 + unsigned(random() % 6), false, true, false});
  int randomSkipping = 0;
  for (std::size_t i = 0; i < loops.size() && !HasFailure(); ++i) {
    SCOPED_TRACE(std::string(loops[i].name) + " " + std::to_string(i));
    std::uint64_t unused, skipped;
    ExpectSame(RunLoop(loops[i], false, unused), RunLoop(loops[i], true, skipped));
    if (i + kRandom >= loops.size()) {
      randomSkipping += skipped > 0;
    } else {
      EXPECT_EQ(skipped > 0, loops[i].skips) << skipped;
    }
  }
  // Most random loops qualify; the rest are stepped and must end the same all the same.
  EXPECT_GT(randomSkipping, kRandom / 2);
}

// Long (each run stepped as well): in the optimised build only, under the label sweep.
TEST(FastForward, WholeToolRunsEndWhereSteppingEnds) {
  const std::pair<const char*, std::function<void(EmulatedBoard&)>> boards[] = {
      {"sample run, power cycle and LED watch", [](EmulatedBoard&) {}},
      {"CamCon's EEPROM never ends its write cycle",
       [](EmulatedBoard& board) { board.SetBankStuckBusy(1, 0, true); }},
      {"BufCon's EEPROM missing", [](EmulatedBoard& board) { board.SetBankMissing(0, 1, true); }},
  };
  for (const auto& [name, fault] : boards) {
    SCOPED_TRACE(name);
    std::uint64_t unused, tenths;
    ExpectSame(RunBoard(fault, false, unused), RunBoard(fault, true, tenths));
    EXPECT_GE(tenths, 1u) << "a tenth of the instructions or more skipped";
  }
}

}  // namespace
}  // namespace vesk
