#pragma once
// Deterministic random 8051 programs for comparing the core against ucsim: every opcode
// but 0xA5, with operands chosen so that control flow stays inside the program (branches
// jump forward over one instruction, calls return, the stack stays in 0xC0-0xFF) and data
// stays where both simulators can be compared (IRAM, a few SFRs, XDATA 0x2000-0x20FF).
//
// Layout: 0x0000 LJMP to the body at 0x0100; INT0 and timer 0 vectors jump to small
// routines at 0x0080/0x00A0 that count into IRAM 0x7E/0x7D. The body sets SP=0xBF, IE,
// IP, IT0, CKCON, P2 = MPAGE = 0x20, then runs the random instructions and ends in
// `SJMP .` at EndAddress().

#include <cstdint>
#include <string>
#include <vector>

namespace vesk::sim::test {

struct GeneratedProgram {
  std::vector<std::uint8_t> image;  // from address 0
  std::uint16_t end_address;        // the final SJMP to itself
};

// `instructions` random instructions (plus the set-up each needs) from `seed`.
GeneratedProgram GenerateRandomProgram(std::uint32_t seed, int instructions);

// Writes `image` (from address 0) as Intel HEX.
std::string ToIntelHex(const std::vector<std::uint8_t>& image);

}  // namespace vesk::sim::test
