#include "sim/board/i2c_master.h"

#include <algorithm>

#include "fx2/generated/fx2_register_map.h"

namespace vesk::sim::board {

void I2cMaster::Reset() {
  status_ = 0;
  control_ = 0;
  bootId_ = 0;
  txData_ = rxData_ = 0;
  startPending_ = lastRead_ = stopAfterByte_ = false;
  idleStop_ = lateReadArmed_ = sdaStuck_ = false;
  sdaHeldUntil_ = 0;
  errorBytes_.clear();
  mode_ = Mode::Idle;
  byte_ = Byte::None;
  byteEnd_ = stopEnd_ = kNever;
}

SimTime I2cMaster::Tick(SimTime now) {
  Advance(now);
  return std::min(byteEnd_, stopEnd_);
}

void I2cMaster::Advance(SimTime now) {
  while (true) {
    const SimTime next = std::min(byteEnd_, stopEnd_);
    if (next > now) return;
    if (byteEnd_ == next) {
      FinishByte(next);
    } else {
      stopEnd_ = kNever;
      bus_.Stop(next);
      lateReadArmed_ = mode_ == Mode::Read;
      mode_ = Mode::Idle;
      lastRead_ = false;
      if (control_ & kStopInterruptEnable) interrupts_.RequestInterrupt(Interrupt::I2c);
    }
  }
}

void I2cMaster::FinishByte(SimTime at) {
  byteEnd_ = kNever;
  const Byte finished = byte_;
  byte_ = Byte::None;
  if (finished == Byte::None) return;
  const std::uint64_t number = bytesClocked_++;
  if (!errorBytes_.empty() && errorBytes_.front() == number) {
    errorBytes_.erase(errorBytes_.begin());
    bus_.Stop(at);
    mode_ = Mode::Idle;
    lastRead_ = stopAfterByte_ = false;
    status_ = static_cast<std::uint8_t>((status_ & ~(kDone | kAck)) | kBusError);
    return;
  }
  switch (finished) {
    case Byte::Address: {
      const bool ack = bus_.Write(txData_, at);
      status_ = static_cast<std::uint8_t>((status_ & ~kAck) | (ack ? kAck : 0));
      mode_ = (txData_ & 1) ? Mode::Read : Mode::Write;
      break;
    }
    case Byte::Data: {
      const bool ack = bus_.Write(txData_, at);
      status_ = static_cast<std::uint8_t>((status_ & ~kAck) | (ack ? kAck : 0));
      break;
    }
    case Byte::Receive:
      rxData_ = bus_.Read(!byteNacked_, at);
      break;
    case Byte::None:
      return;
  }
  status_ |= kDone;
  interrupts_.RequestInterrupt(Interrupt::I2c);
  if (stopAfterByte_) {
    stopAfterByte_ = false;
    BeginStop(at);
  }
}

void I2cMaster::BusErrorAtByte(std::uint32_t byte) {
  const std::uint64_t number = bytesClocked_ + byte;
  errorBytes_.insert(std::lower_bound(errorBytes_.begin(), errorBytes_.end(), number), number);
}

void I2cMaster::BeginStop(SimTime at) {
  stopEnd_ = at + BitTime();
}

std::uint8_t I2cMaster::ReadXdata(std::uint16_t address) {
  Advance(clock_());
  switch (address) {
    case fx2::I2CS: {
      std::uint8_t value = status_ | bootId_;
      if (startPending_) value |= kStart;
      if (stopAfterByte_ || stopEnd_ != kNever || idleStop_) value |= kStop;
      if (lastRead_) value |= kLastRead;
      return value;
    }
    case fx2::I2DAT: {
      const SimTime now = clock_();
      const std::uint8_t value = rxData_;
      status_ &= ~kDone;
      // Reading the data register clocks in the next byte, unless a STOP is on its way. A
      // read after the STOP has gone out clocks one more (on an idle bus: 0xFF from nobody),
      // which keeps the master busy for a byte.
      const bool late = lateReadArmed_ && mode_ == Mode::Idle && byte_ == Byte::None;
      lateReadArmed_ = false;
      if (late) ++lateReads_;
      if ((mode_ == Mode::Read || late) && byte_ == Byte::None && !startPending_ &&
          !stopAfterByte_ && stopEnd_ == kNever) {
        byte_ = Byte::Receive;
        byteNacked_ = lastRead_;
        byteEnd_ = now + 9 * BitTime();
      }
      return value;
    }
    case fx2::I2CTL:
      return control_;
    default:
      return 0xFF;
  }
}

void I2cMaster::WriteXdata(std::uint16_t address, std::uint8_t value) {
  const SimTime now = clock_();
  Advance(now);
  switch (address) {
    case fx2::I2CS:
      if (value & kStart) {
        startPending_ = true;
        lateReadArmed_ = false;
        status_ &= ~(kDone | kBusError);
      }
      if (value & kStop) {
        if (byte_ != Byte::None)
          stopAfterByte_ = true;
        else if (stopEnd_ == kNever && (bus_.InTransfer() || mode_ != Mode::Idle))
          BeginStop(now);
        else if (stopEnd_ == kNever)
          idleStop_ = true;  // nothing to stop: it waits for the next transfer
      }
      lastRead_ = (value & kLastRead) != 0;
      break;
    case fx2::I2DAT:
      status_ &= ~kDone;
      if (byte_ != Byte::None || stopEnd_ != kNever) {
        status_ |= kBusError;  // the bus is still busy with the previous byte or the STOP
        break;
      }
      txData_ = value;
      if (startPending_) {
        startPending_ = false;
        if (sdaStuck_ || now < sdaHeldUntil_) {
          status_ |= kBusError;  // the START never makes it onto the bus
          break;
        }
        bus_.Start(now);
        byte_ = Byte::Address;
        byteEnd_ = now + 10 * BitTime();
        // A STOP left pending on the idle bus goes out right after the address byte.
        if (idleStop_) {
          idleStop_ = false;
          stopAfterByte_ = true;
        }
      } else if (mode_ == Mode::Write) {
        byte_ = Byte::Data;
        byteEnd_ = now + 9 * BitTime();
      }
      break;
    case fx2::I2CTL:
      control_ = value & (k400kHz | kStopInterruptEnable);
      break;
    default:
      break;
  }
}

}  // namespace vesk::sim::board
