// vesk-sim-run: runs an 8051 program on the emulated FX2 core and reports where it stopped,
// so that the core can be checked against another 8051 simulator.
//
//   vesk-sim-run PROGRAM.ihx [--until-pc ADDR] [--max-cycles N] [--clock 12|24|48] [--step]
//
// --step runs every instruction, without the fast-forward of wait loops.
// The last line of the output is always `instructions=N cycles=N pc=0xHHHH` once the
// program was loaded. Exit status: 0 when the run stopped at --until-pc (or, without it,
// at the cycle limit), 1 when it faulted or never reached --until-pc, 2 for bad arguments
// or a program that cannot be loaded.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "sim/bus.h"
#include "sim/cpu8051.h"
#include "sim/ihex.h"

namespace {

using vesk::sim::Bus;
using vesk::sim::Cpu8051;

constexpr const char* kUsage =
    "usage: vesk-sim-run PROGRAM.ihx [--until-pc ADDR] [--max-cycles N] [--clock 12|24|48] "
    "[--step]\n";

bool ParseNumber(const std::string& text, std::uint64_t& value) {
  if (text.empty()) return false;
  std::size_t used = 0;
  try {
    value = std::stoull(text, &used, 0);
  } catch (...) {
    return false;
  }
  return used == text.size() && text[0] != '-';
}

int Usage(const std::string& problem) {
  std::cerr << "vesk-sim-run: " << problem << "\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string program;
  std::uint32_t untilPc = 0x10000;
  std::uint64_t maxCycles = 1'000'000'000;
  unsigned clockMhz = 12;
  bool step = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::uint64_t& out) {
      if (i + 1 >= argc) return false;
      return ParseNumber(argv[++i], out);
    };
    std::uint64_t number = 0;
    if (arg == "--until-pc") {
      if (!value(number) || number > 0xFFFF) return Usage("--until-pc needs an address 0-0xFFFF");
      untilPc = static_cast<std::uint32_t>(number);
    } else if (arg == "--max-cycles") {
      if (!value(number) || number == 0) return Usage("--max-cycles needs a positive count");
      maxCycles = number;
    } else if (arg == "--clock") {
      if (!value(number) || (number != 12 && number != 24 && number != 48)) {
        return Usage("--clock must be 12, 24 or 48");
      }
      clockMhz = static_cast<unsigned>(number);
    } else if (arg == "--step") {
      step = true;
    } else if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else if (program.empty()) {
      program = arg;
    } else {
      return Usage("more than one program given");
    }
  }
  if (program.empty()) return Usage("no program given");

  std::ifstream file(program, std::ios::binary);
  if (!file) {
    std::cerr << "vesk-sim-run: cannot open " << program << "\n";
    return 2;
  }
  std::stringstream text;
  text << file.rdbuf();
  vesk::sim::HexImage image;
  std::string error;
  if (!vesk::sim::ParseIntelHex(text.str(), image, error)) {
    std::cerr << "vesk-sim-run: " << program << ": " << error << "\n";
    return 2;
  }

  Bus bus;
  Cpu8051 cpu(bus);
  cpu.SetFastForward(!step);
  bus.WriteXdata(Cpu8051::kCpucs, 0x01);  // hold the CPU while loading, as a host does
  for (const vesk::sim::HexChunk& chunk : image.chunks) {
    for (std::size_t i = 0; i < chunk.bytes.size(); ++i) {
      const std::uint32_t address = chunk.address + static_cast<std::uint32_t>(i);
      const bool mainRam = address < Bus::kMainRamSize;
      const bool scratch =
          address >= Bus::kScratchFirst && address < Bus::kScratchFirst + Bus::kScratchSize;
      if (!mainRam && !scratch) {
        char where[16];
        std::snprintf(where, sizeof where, "0x%X", static_cast<unsigned>(address));
        std::cerr << "vesk-sim-run: " << program << ": data at " << where
                  << " is outside main RAM (0x0000-0x3FFF) and scratch RAM (0xE000-0xE1FF)\n";
        return 2;
      }
      bus.WriteXdata(static_cast<std::uint16_t>(address), chunk.bytes[i]);
    }
  }
  const std::uint8_t clkspd = clockMhz == 12 ? 0x00 : clockMhz == 24 ? 0x08 : 0x10;
  bus.WriteXdata(Cpu8051::kCpucs, static_cast<std::uint8_t>(0x02 | clkspd));  // release

  const auto started = std::chrono::steady_clock::now();
  const vesk::sim::StopReason reason = cpu.Run(maxCycles, untilPc);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  int status = 0;
  switch (reason) {
    case vesk::sim::StopReason::ReachedPc:
      std::cout << "stopped: reached pc\n";
      break;
    case vesk::sim::StopReason::Fault: {
      char where[8];
      std::snprintf(where, sizeof where, "0x%04X", cpu.FaultPc());
      std::cout << "stopped: "
                << (cpu.Fault() == vesk::sim::CpuFault::UndefinedOpcode
                        ? "undefined opcode 0xA5 at "
                        : "code fetch outside main RAM at ")
                << where << "\n";
      status = 1;
      break;
    }
    default:
      std::cout << "stopped: cycle limit\n";
      if (untilPc <= 0xFFFF) status = 1;
      break;
  }
  for (int port = 0; port < 2; ++port) {
    const std::vector<std::uint8_t> output = cpu.SerialOutput(port);
    if (!output.empty()) {
      std::cout << "serial" << port << ": " << std::string(output.begin(), output.end()) << "\n";
    }
  }
  const double simulatedMs = static_cast<double>(bus.Now()) / 1e9;
  std::printf("simulated=%.3fms host=%.3fs mips=%.1f fast-forwarded=%llu\n", simulatedMs, seconds,
              seconds > 0 ? static_cast<double>(cpu.Instructions()) / seconds / 1e6 : 0.0,
              static_cast<unsigned long long>(cpu.FastForwardedInstructions()));
  std::printf("instructions=%llu cycles=%llu pc=0x%04X\n",
              static_cast<unsigned long long>(cpu.Instructions()),
              static_cast<unsigned long long>(cpu.Cycles()), cpu.Pc());
  return status;
}
