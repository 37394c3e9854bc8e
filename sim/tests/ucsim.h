#pragma once
// Runs a program in ucsim's DS80C320 model (s51 -t DS320) and reads back the machine
// state, for comparison with the core. Test-only; needs the s51 program.

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vesk::sim::test {

struct MachineState {
  std::array<std::uint8_t, 256> iram{};
  std::map<std::uint8_t, std::uint8_t> sfrs;  // address -> value
  std::vector<std::uint8_t> xdata;            // the compared window
  std::uint64_t cycles = 0;                   // machine cycles (4 clocks)
  std::uint64_t instructions = 0;
};

struct UcsimRun {
  std::string s51;       // path of the s51 program
  std::string work_dir;  // where the .ihx is written
  std::uint16_t xdata_first = 0x2000;
  std::uint16_t xdata_count = 0x100;
};

// Loads `hex`, clears IRAM and XDATA (ucsim fills them at random), runs to `stop_pc` and
// reads IRAM, SFRs 0x80-0xFF, the XDATA window and the counters. Cycles and instructions
// exclude the instruction at `stop_pc` (ucsim counts it when its breakpoint fires).
// Returns false with `error` set if s51 could not be run or did not stop there.
bool RunInUcsim(const UcsimRun& run, const std::string& name, const std::string& hex,
                std::uint16_t stop_pc, MachineState& state, std::string& error);

}  // namespace vesk::sim::test
