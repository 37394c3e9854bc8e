#pragma once
// The contract between the emulated 8051 and the FX2 blocks around it. A peripheral owns
// the XDATA registers and SFRs it is attached at; the bus routes every CPU access (and
// every host access through the FX2's 0xA0 request) to it.

#include <cstdint>
#include <limits>

namespace vesk::sim {

// Simulated time in picoseconds since power-up.
using SimTime = std::uint64_t;
inline constexpr SimTime kNever = std::numeric_limits<SimTime>::max();
inline constexpr SimTime kPicosPerMicro = 1'000'000;
inline constexpr SimTime kPicosPerMilli = 1'000'000'000;

// The 8051's interrupt sources in vector order (vector = 0x0003 + 8 * number).
enum class Interrupt : std::uint8_t {
  Int0 = 0, Timer0, Int1, Timer1, Serial0, Timer2, Resume, Serial1,
  Usb /* INT2 */, I2c /* INT3 */, Int4, Int5, Int6,
};

// How a peripheral asks for an interrupt: the CPU sets the source's flag (EXIF.USBINT for
// Usb, EXIF.I2CINT for I2c, ...); firmware clears it as on the chip.
class InterruptRequests {
 public:
  virtual ~InterruptRequests() = default;
  virtual void RequestInterrupt(Interrupt source) = 0;
};

class Peripheral {
 public:
  virtual ~Peripheral() = default;
  virtual std::uint8_t ReadXdata(std::uint16_t /*address*/) { return 0xFF; }
  virtual void WriteXdata(std::uint16_t /*address*/, std::uint8_t /*value*/) {}
  virtual std::uint8_t ReadSfr(std::uint8_t /*address*/) { return 0xFF; }
  virtual void WriteSfr(std::uint8_t /*address*/, std::uint8_t /*value*/) {}
  // True when reading `address` has no effect: two reads with no access to the peripheral
  // and no deadline of it (see Tick) between them return the same value. The CPU's
  // fast-forward skips wait loops only over such reads; false (the default) is always safe.
  virtual bool ReadIsPure(std::uint16_t /*address*/) const { return false; }
  virtual bool SfrReadIsPure(std::uint8_t /*address*/) const { return false; }
  // Power-on reset of the peripheral's registers and state.
  virtual void Reset() {}
  // Brings the peripheral up to `now`; returns the next time it needs to be ticked, or
  // kNever. The bus ticks it no later than that time (and may tick it earlier).
  virtual SimTime Tick(SimTime /*now*/) { return kNever; }
};

}  // namespace vesk::sim
