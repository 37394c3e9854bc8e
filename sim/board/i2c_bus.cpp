#include "sim/board/i2c_bus.h"

namespace vesk::sim::board {

void I2cSegment::Collect(std::uint8_t address, std::vector<I2cDevice*>& out) const {
  if (const auto found = devices_.find(address); found != devices_.end())
    out.push_back(found->second);
  for (const I2cSegment* segment : downstream_) segment->Collect(address, out);
}

I2cMux::I2cMux(I2cSegment& upstream, std::uint8_t address, std::uint8_t powerUpControl)
    : powerUpControl_(powerUpControl), control_(powerUpControl) {
  upstream.Attach(address, *this);
  for (int i = 0; i < 2; ++i) {
    channels_[i].mux = this;
    channels_[i].index = i;
    upstream.downstream_.push_back(&channels_[i]);
  }
}

bool I2cMux::Write(std::uint8_t byte, SimTime) {
  control_ = byte & 0x07;
  return true;
}

void I2cMux::Gate::Collect(std::uint8_t address, std::vector<I2cDevice*>& out) const {
  const std::uint8_t control = mux->Control();
  if ((control & 0x04) == 0 || (control & 0x01) != index) return;
  I2cSegment::Collect(address, out);
}

void I2cBus::Start(SimTime now) {
  if (started_) EndSelected(false, now);
  started_ = true;
  expectAddress_ = true;
}

bool I2cBus::Write(std::uint8_t byte, SimTime now) {
  if (!started_) return false;
  if (expectAddress_) {
    expectAddress_ = false;
    std::vector<I2cDevice*> candidates;
    Collect(static_cast<std::uint8_t>(byte >> 1), candidates);
    const bool read = (byte & 1) != 0;
    for (I2cDevice* device : candidates)
      if (device->Select(read, now)) selected_.push_back(device);
    return !selected_.empty();
  }
  bool ack = false;
  for (I2cDevice* device : selected_) ack = device->Write(byte, now) || ack;
  return ack;
}

std::uint8_t I2cBus::Read(bool masterAcks, SimTime now) {
  // Open-drain: several drivers AND their bits together.
  std::uint8_t value = 0xFF;
  if (started_ && !expectAddress_)
    for (I2cDevice* device : selected_) value &= device->Read(masterAcks, now);
  return value;
}

void I2cBus::Stop(SimTime now) {
  if (started_) EndSelected(true, now);
  started_ = false;
  expectAddress_ = false;
}

void I2cBus::EndSelected(bool stop, SimTime now) {
  for (I2cDevice* device : selected_) device->End(stop, now);
  selected_.clear();
}

}  // namespace vesk::sim::board
