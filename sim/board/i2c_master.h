#pragma once
// The FX2's I2C master: I2CS, I2DAT and I2CTL. Each byte takes nine bit times (plus one
// for a START, and one for the STOP) at 100 or 400 kHz (or the board's slower real
// clock); its end sets DONE and asks for the I2C interrupt (INT3, EXIF.I2CINT).

#include <cstdint>
#include <vector>

#include "fx2/generated/fx2_register_map.h"
#include "sim/board/clock.h"
#include "sim/board/i2c_bus.h"
#include "sim/peripheral.h"

namespace vesk::sim::board {

class I2cMaster : public Peripheral {
 public:
  static constexpr std::uint8_t kStart = 0x80, kStop = 0x40, kLastRead = 0x20, kBusError = 0x04,
                                kAck = 0x02, kDone = 0x01;
  static constexpr std::uint8_t kIdTwoByteEeprom = 0x10;
  static constexpr std::uint8_t k400kHz = 0x01, kStopInterruptEnable = 0x02;

  I2cMaster(I2cBus& bus, InterruptRequests& interrupts, Clock clock)
      : bus_(bus), interrupts_(interrupts), clock_(std::move(clock)) {}

  std::uint8_t ReadXdata(std::uint16_t address) override;
  void WriteXdata(std::uint16_t address, std::uint8_t value) override;
  // Reading I2DAT clocks in the next byte; the other registers only report.
  bool ReadIsPure(std::uint16_t address) const override { return address != fx2::I2DAT; }
  void Reset() override;
  SimTime Tick(SimTime now) override;

  // What the boot logic found at power-up (I2CS ID1:ID0).
  void SetBootId(std::uint8_t id) { bootId_ = id & 0x18; }
  // Fault: SDA held low by a stuck slave; every START ends in BERR. Power-on reset ends it.
  void SetSdaStuckLow(bool stuck) { sdaStuck_ = stuck; }
  // Fault: SDA held low until `until` (a slave that lets go by itself); STARTs before
  // then end in BERR.
  void HoldSdaUntil(SimTime until) { sdaHeldUntil_ = until; }
  // Fault, one shot each: the byte number `byte` from now (0 = the next one the master
  // clocks: address, data or received) meets a bus error. The slaves see a STOP there
  // (what they latched before it is committed), the master loses the bus: BERR, no DONE.
  void BusErrorAtByte(std::uint32_t byte);
  // Bytes the master has clocked since power-up.
  std::uint64_t BytesClocked() const { return bytesClocked_; }
  // The clock the master really makes for 100 and 400 kHz, in ps per bit (parts run
  // slower than nominal). Power-on reset keeps it: it is the board's, not a register.
  void SetBitTimes(SimTime slow, SimTime fast) {
    bitSlow_ = slow;
    bitFast_ = fast;
  }
  // I2DAT reads after a read's STOP had gone out; each clocked in one more byte.
  std::uint32_t LateReads() const { return lateReads_; }
  static constexpr SimTime kNominalBit100 = 10'000'000, kNominalBit400 = 2'500'000;  // ps
  SimTime BitTime(bool fast) const { return fast ? bitFast_ : bitSlow_; }
  SimTime BitTime() const { return BitTime((control_ & k400kHz) != 0); }

 private:
  enum class Mode { Idle, Write, Read };
  enum class Byte { None, Address, Data, Receive };
  void Advance(SimTime now);
  void FinishByte(SimTime at);
  void BeginStop(SimTime at);

  I2cBus& bus_;
  InterruptRequests& interrupts_;
  Clock clock_;
  std::uint8_t status_ = 0;  // BERR, ACK, DONE
  std::uint8_t control_ = 0;
  std::uint8_t bootId_ = 0;
  std::uint8_t txData_ = 0;
  std::uint8_t rxData_ = 0;
  bool startPending_ = false;
  bool lastRead_ = false;
  bool stopAfterByte_ = false;
  Mode mode_ = Mode::Idle;
  Byte byte_ = Byte::None;
  bool byteNacked_ = false;
  bool idleStop_ = false;       // STOP written while the bus was idle: stays pending
  bool lateReadArmed_ = false;  // a read's STOP has gone out; no START since
  bool sdaStuck_ = false;
  SimTime sdaHeldUntil_ = 0;
  std::uint64_t bytesClocked_ = 0;
  std::vector<std::uint64_t> errorBytes_;  // ascending
  SimTime bitSlow_ = kNominalBit100, bitFast_ = kNominalBit400;
  std::uint32_t lateReads_ = 0;
  SimTime byteEnd_ = kNever;
  SimTime stopEnd_ = kNever;
};

}  // namespace vesk::sim::board
