#pragma once
// A byte-level I2C bus: the master's START, address and data bytes, ACKs and STOP, routed
// to the slaves reachable at that moment (on the bus itself or behind a multiplexer
// channel that is switched on).

#include <cstdint>
#include <map>
#include <vector>

#include "sim/peripheral.h"

namespace vesk::sim::board {

class I2cDevice {
 public:
  virtual ~I2cDevice() = default;
  // The address byte after a START; true when the device acknowledges it.
  virtual bool Select(bool read, SimTime now) = 0;
  // One byte from the master; true = ACK.
  virtual bool Write(std::uint8_t byte, SimTime now) = 0;
  // One byte to the master; `masterAcks` is false for the last byte of a read.
  virtual std::uint8_t Read(bool masterAcks, SimTime now) = 0;
  // The transfer ended: STOP (`stop` true) or a repeated START (false).
  virtual void End(bool stop, SimTime now) = 0;
};

// A segment of the bus: devices by 7-bit address, and multiplexers whose channels are
// segments of their own.
class I2cSegment {
 public:
  void Attach(std::uint8_t address, I2cDevice& device) { devices_[address] = &device; }
  void Detach(std::uint8_t address) { devices_.erase(address); }
  // The devices that see an address byte for `address`, in bus order.
  virtual void Collect(std::uint8_t address, std::vector<I2cDevice*>& out) const;
  virtual ~I2cSegment() = default;

 protected:
  std::map<std::uint8_t, I2cDevice*> devices_;
  std::vector<const I2cSegment*> downstream_;
  friend class I2cMux;
};

// A 2-channel multiplexer with one control byte: bit 2 enables, bit 0 picks the channel.
class I2cMux : public I2cDevice {
 public:
  I2cMux(I2cSegment& upstream, std::uint8_t address, std::uint8_t powerUpControl);
  I2cSegment& Channel(int channel) { return channels_[channel]; }
  std::uint8_t Control() const { return control_; }
  void Reset() { control_ = powerUpControl_; }

  bool Select(bool, SimTime) override { return true; }
  bool Write(std::uint8_t byte, SimTime) override;
  std::uint8_t Read(bool, SimTime) override { return control_; }
  void End(bool, SimTime) override {}

 private:
  class Gate : public I2cSegment {
   public:
    void Collect(std::uint8_t address, std::vector<I2cDevice*>& out) const override;
    const I2cMux* mux = nullptr;
    int index = 0;
  };
  Gate channels_[2];
  std::uint8_t powerUpControl_;
  std::uint8_t control_;
};

// The master's side of the bus. Devices that do not acknowledge their address take no
// part until the next START; bytes read with nobody selected read 0xFF (pull-ups).
class I2cBus : public I2cSegment {
 public:
  void Start(SimTime now);
  bool Write(std::uint8_t byte, SimTime now);
  std::uint8_t Read(bool masterAcks, SimTime now);
  void Stop(SimTime now);
  bool InTransfer() const { return started_; }
  // Power loss: every transfer in flight is dropped without a STOP.
  void PowerDown() {
    started_ = expectAddress_ = false;
    selected_.clear();
  }

 private:
  void EndSelected(bool stop, SimTime now);
  bool started_ = false;
  bool expectAddress_ = false;
  std::vector<I2cDevice*> selected_;
};

}  // namespace vesk::sim::board
