#include "sim/board/eeprom.h"

#include <algorithm>

namespace vesk::sim::board {
namespace {
constexpr std::uint16_t kAddressMask = kBankSize - 1;
constexpr std::uint16_t kPageMask = kPageSize - 1;
}  // namespace

Eeprom::Eeprom() : memory_(kBankSize, kErased) {}

void Eeprom::Erase() {
  std::fill(memory_.begin(), memory_.end(), kErased);
}

void Eeprom::PowerUp() {
  busyUntil_ = 0;
  pointer_ = 0;
  pending_.clear();
  writing_ = false;
  addressBytesSeen_ = 0;
}

bool Eeprom::Select(bool read, SimTime now) {
  if (missing_ || Busy(now)) return false;
  writing_ = !read;
  commandBegun_ = now;
  addressBytesSeen_ = 0;
  pending_.clear();
  return true;
}

bool Eeprom::Write(std::uint8_t byte, SimTime) {
  if (!writing_) return false;
  if (addressBytesSeen_ == 0) {
    pointer_ = static_cast<std::uint16_t>((byte << 8 | (pointer_ & 0xFF)) & kAddressMask);
    ++addressBytesSeen_;
    return true;
  }
  if (addressBytesSeen_ == 1) {
    pointer_ = static_cast<std::uint16_t>((pointer_ & 0xFF00) | byte);
    ++addressBytesSeen_;
    return true;
  }
  if (nacksLeft_ > 0 && static_cast<std::size_t>(nackDataByte_) == pending_.size()) {
    --nacksLeft_;
    return false;
  }
  // Only the low six bits count up inside a page write: past the page's end it wraps to
  // the page's start and overwrites what this command latched there.
  pending_.emplace_back(pointer_, byte);
  pointer_ = static_cast<std::uint16_t>((pointer_ & ~kPageMask) | ((pointer_ + 1) & kPageMask));
  return true;
}

std::uint8_t Eeprom::Read(bool, SimTime) {
  std::uint8_t value = memory_[pointer_];
  if (pointer_ == stuckAddress_) value &= static_cast<std::uint8_t>(~stuckMask_);
  pointer_ = static_cast<std::uint16_t>((pointer_ + 1) & kAddressMask);
  return value;
}

void Eeprom::End(bool stop, SimTime now) {
  // A repeated START after data bytes abandons them: the cycle only starts at STOP.
  if (stop && writing_ && !pending_.empty() && !writeProtected_) {
    if (corruptByte_ >= 0 && static_cast<std::size_t>(corruptByte_) < pending_.size()) {
      pending_[static_cast<std::size_t>(corruptByte_)].second ^= corruptMask_;
      corruptByte_ = -1;
    }
    for (const auto& [address, value] : pending_)
      memory_[address] =
          address == stuckAddress_ ? static_cast<std::uint8_t>(value & ~stuckMask_) : value;
    busyUntil_ = now + kWriteCycle;
    lastWriteBegun_ = commandBegun_;
    ++writeCycles_;
  }
  pending_.clear();
  writing_ = false;
  addressBytesSeen_ = 0;
}

}  // namespace vesk::sim::board
