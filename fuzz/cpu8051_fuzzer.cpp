// The 8051 core under arbitrary code: whatever the bytes in main RAM and scratch RAM, it
// runs, faults or idles without crashing and without touching memory outside its own.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "sim/bus.h"
#include "sim/cpu8051.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vesk::sim;
  Bus bus;
  Cpu8051 cpu(bus);
  auto ram = bus.MainRam();
  std::fill(ram.begin(), ram.end(), 0x00);
  // The first bytes are code from 0x0000; the tail is mirrored at the top of main RAM,
  // where code that runs off the end lands, and into scratch RAM.
  const std::size_t codeBytes = std::min(size, ram.size());
  std::copy_n(data, codeBytes, ram.begin());
  for (std::size_t i = 0; i < std::min<std::size_t>(size, 256); ++i) {
    ram[ram.size() - 1 - i] = data[size - 1 - i];
    bus.ScratchRam()[i] = data[i];
  }
  cpu.Run(4000);
  // Holding and releasing mid-program must leave a usable core.
  cpu.SetHeld(true);
  cpu.Run(100);
  cpu.SetHeld(false);
  cpu.Run(1000);
  if (cpu.Fault() == CpuFault::None && cpu.Pc() > 0xFFFF) std::abort();
  return 0;
}
