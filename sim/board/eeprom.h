#pragma once
// A 24LC256-class serial EEPROM: 32 KB, two address bytes (high first), 64-byte pages,
// a write cycle that starts at STOP and during which the chip does not acknowledge.

#include <cstdint>
#include <span>
#include <vector>

#include "sim/board/i2c_bus.h"
#include "sim/board/reference_board.h"

namespace vesk::sim::board {

class Eeprom : public I2cDevice {
 public:
  Eeprom();

  std::span<std::uint8_t> Contents() { return memory_; }
  std::span<const std::uint8_t> Contents() const { return memory_; }
  void Erase();

  // Fault injection: a missing chip never acknowledges; a stuck one behaves as if its
  // write cycle never ended.
  void SetMissing(bool missing) { missing_ = missing; }
  void SetStuckBusy(bool stuck) { stuckBusy_ = stuck; }
  // The next `times` write commands refuse (do not acknowledge) their data byte number
  // `dataByte` (0 = the first after the word address); the bytes before it are committed
  // at STOP as usual.
  void NackDataByte(int dataByte, int times = 1) {
    nackDataByte_ = dataByte;
    nacksLeft_ = times;
  }
  // The next write cycle stores byte number `dataByte` of its command (0 = the first after
  // the word address) with the bits of `mask` flipped, as a disturbance no one noticed
  // would; later writes store what they are sent. One shot.
  void CorruptNextWrite(int dataByte, std::uint8_t mask) {
    corruptByte_ = dataByte;
    corruptMask_ = mask;
  }
  // A bank whose writes do not stick: it acknowledges every byte and keeps its old
  // contents, starting no write cycle (as a write-protected part does).
  void SetWriteProtected(bool on) { writeProtected_ = on; }
  // Bits of `mask` at `address` are stuck at 0: they neither store nor read back a 1.
  void SetStuckBits(std::uint16_t address, std::uint8_t mask) {
    stuckAddress_ = address;
    stuckMask_ = mask;
  }
  bool Missing() const { return missing_; }
  bool StuckBusy() const { return stuckBusy_; }
  // Ends any write cycle and forgets the address pointer (power loss).
  void PowerUp();
  bool Busy(SimTime now) const { return stuckBusy_ || now < busyUntil_; }
  std::uint16_t AddressPointer() const { return pointer_; }
  std::uint64_t WriteCycles() const { return writeCycles_; }
  // When the write command of the last write cycle was addressed (its device address
  // acknowledged): a host that sees the EEPROM change can tell when that write was begun.
  SimTime LastWriteBegun() const { return lastWriteBegun_; }

  bool Select(bool read, SimTime now) override;
  bool Write(std::uint8_t byte, SimTime now) override;
  std::uint8_t Read(bool masterAcks, SimTime now) override;
  void End(bool stop, SimTime now) override;

 private:
  std::vector<std::uint8_t> memory_;
  // Bytes latched by the current write command, committed at STOP.
  std::vector<std::pair<std::uint16_t, std::uint8_t>> pending_;
  bool missing_ = false;
  bool stuckBusy_ = false;
  bool writeProtected_ = false;
  std::uint16_t stuckAddress_ = 0;
  std::uint8_t stuckMask_ = 0;
  int nackDataByte_ = -1;
  int nacksLeft_ = 0;
  int corruptByte_ = -1;
  std::uint8_t corruptMask_ = 0;
  SimTime busyUntil_ = 0;
  std::uint16_t pointer_ = 0;
  int addressBytesSeen_ = 0;
  bool writing_ = false;
  std::uint64_t writeCycles_ = 0;
  SimTime commandBegun_ = 0, lastWriteBegun_ = 0;
};

}  // namespace vesk::sim::board
