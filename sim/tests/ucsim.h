#pragma once
// Test-only: random 8051 programs, and runs of them in ucsim's DS80C320 model (s51 -t DS320)
// for comparison with the core. The compared XDATA window is 0x2000-0x20FF.

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vesk::sim::test {

constexpr std::uint16_t kWindow = 0x2000, kWindowSize = 0x100;

// `instructions` random instructions from `seed` (every opcode but 0xA5) from address 0,
// ending in the program's first SJMP to itself (see the .cpp).
std::vector<std::uint8_t> GenerateRandomProgram(std::uint32_t seed, int instructions);

struct MachineState {
  std::array<std::uint8_t, 256> iram{};
  std::map<std::uint8_t, std::uint8_t> sfrs;  // address -> value
  std::vector<std::uint8_t> xdata;            // the window
  std::uint64_t cycles = 0;                   // machine cycles (4 clocks)
  std::uint64_t instructions = 0;
};

// Runs `image` in s51 (IRAM and XDATA cleared first, as ucsim fills them at random) to
// `stop_pc`, an SJMP to itself that is not counted. False with `error` set if s51 could not
// be run or did not stop there.
bool RunInUcsim(const std::vector<std::uint8_t>& image, std::uint16_t stop_pc,
                MachineState& state, std::string& error);

}  // namespace vesk::sim::test
