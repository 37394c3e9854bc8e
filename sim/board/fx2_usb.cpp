#include "sim/board/fx2_usb.h"

#include <algorithm>

#include "fx2/generated/fx2_register_map.h"

namespace vesk::sim::board {

void Fx2Usb::Reset() {
  setupdat_.fill(0);
  ep0buf_.fill(0);
  usbcs_ = fnaddr_ = 0;
  inReset_ = false;
  pairs_.fill(0);
  ep0bch_ = ep0bcl_ = 0;
  ep0cs_ = kHsnak;
  sudptrh_ = sudptrl_ = 0;
  sudptrctl_ = 1;
  directionIn_ = outArmed_ = false;
  inCount_ = -1;
  descriptorLeft_ = 0;
  descriptorDone_ = false;
  inArmed_ = outReceived_ = 0;
}

void Fx2Usb::SetRenumerated(bool on) {
  usbcs_ = static_cast<std::uint8_t>(on ? usbcs_ | kRenum : usbcs_ & ~kRenum);
}

void Fx2Usb::Raise(int irq, std::uint8_t bits) {
  pairs_[irq] |= bits;
  RequestIfPending();
}

void Fx2Usb::HostInNaked() {
  pairs_[kIbnIrq] |= kIbnEp0;
  Raise(kNakIrq, kNakIbn);
}

// Every pair that feeds INT2 requests it on its own, IBNIE/IBNIRQ included (the chip may
// gate those through NAKIE.IBN; the reading that lets an inherited enable fire is taken).
void Fx2Usb::RequestIfPending() {
  if (Pending(kUsbIrq) | Pending(kEpIrq) | Pending(kIbnIrq) | Pending(kNakIrq) |
      Pending(kUsbErrIrq))
    interrupts_.RequestInterrupt(Interrupt::Usb);
}

std::uint8_t Fx2Usb::Int2Vector() const {
  // SUDAV 0x00 .. EP0ACK 0x18, EP0IN 0x20 .. EP8 0x3C, IBN 0x40, EP0PING 0x48 .. EP8PING
  // 0x5C, ERRLIMIT 0x60, EP2ISOERR 0x70 .. EP8ISOERR 0x7C.
  const auto first = [](std::uint8_t bits, int from, int to, std::uint8_t base) -> int {
    for (int bit = from; bit <= to; ++bit)
      if (bits & (1 << bit)) return base + (bit - from) * 4;
    return -1;
  };
  int vector = first(Pending(kUsbIrq), 0, 6, 0x00);
  if (vector < 0) vector = first(Pending(kEpIrq), 0, 7, 0x20);
  if (vector < 0 && (Pending(kIbnIrq) || (Pending(kNakIrq) & kNakIbn))) vector = 0x40;
  if (vector < 0) vector = first(Pending(kNakIrq), 2, 7, 0x48);
  if (vector < 0) vector = first(Pending(kUsbErrIrq), 0, 0, 0x60);
  if (vector < 0) vector = first(Pending(kUsbErrIrq), 4, 7, 0x70);
  return static_cast<std::uint8_t>(vector < 0 ? 0 : vector);
}

std::uint8_t Fx2Usb::ReadXdata(std::uint16_t address) {
  if (address >= fx2::SETUPDAT && address < fx2::SETUPDAT + fx2::SETUPDAT_SIZE)
    return setupdat_[address - fx2::SETUPDAT];
  if (address >= fx2::EP0BUF && address < fx2::EP0BUF + fx2::EP0BUF_SIZE)
    return ep0buf_[address - fx2::EP0BUF];
  if (address >= kFirstPair && address <= kLastPair) return pairs_[address - kFirstPair];
  switch (address) {
    case fx2::USBCS:
      return static_cast<std::uint8_t>(usbcs_ | (highSpeed_ && !inReset_ ? kHighSpeed : 0));
    case fx2::FNADDR:
      return fnaddr_;
    case fx2::INT2IVEC:
      return Int2Vector();
    case fx2::EP0BCH:
      return ep0bch_;
    case fx2::EP0BCL:
      return ep0bcl_;
    case fx2::EP0CS:
      return static_cast<std::uint8_t>(ep0cs_ | (Busy() ? kBusy : 0));
    case fx2::SUDPTRH:
      return sudptrh_;
    case fx2::SUDPTRL:
      return sudptrl_;
    case fx2::SUDPTRCTL:
      return sudptrctl_;
    default:
      return 0xFF;
  }
}

void Fx2Usb::WriteXdata(std::uint16_t address, std::uint8_t value) {
  if (address >= fx2::EP0BUF && address < fx2::EP0BUF + fx2::EP0BUF_SIZE) {
    if (Busy()) faults_.push_back(Ep0Fault::BufferWrittenWhileBusy);
    ep0buf_[address - fx2::EP0BUF] = value;
    return;
  }
  if (address >= kFirstPair && address <= kLastPair) {
    std::uint8_t& reg = pairs_[address - kFirstPair];
    // Enables are written as they are; requests clear by writing 1, and another source
    // still pending asks again.
    reg = (address & 1) ? static_cast<std::uint8_t>(reg & ~value) : value;
    RequestIfPending();
    return;
  }
  switch (address) {
    case fx2::USBCS:
      // HSM is read-only; SIGRSUME, DISCON, NOSYNSOF and RENUM are the firmware's.
      usbcs_ = value & 0x0F;
      break;
    case fx2::EP0BCH:
      ep0bch_ = value;
      break;
    case fx2::EP0BCL:
      if (Busy()) faults_.push_back(Ep0Fault::CountWrittenWhileBusy);
      // Arming an OUT packet leaves the count of the last one received readable.
      if (directionIn_) ep0bcl_ = value;
      if (directionIn_) {
        inCount_ = std::min<int>(ep0bch_ << 8 | ep0bcl_, kPacketSize);
        inArmed_ += static_cast<std::uint32_t>(inCount_);
        if (inArmed_ > static_cast<std::uint32_t>(setupdat_[6] | setupdat_[7] << 8))
          faults_.push_back(Ep0Fault::InLongerThanRequested);
      } else {
        outArmed_ = true;
      }
      break;
    case fx2::EP0CS:
      if ((value & (kHsnak | kStall)) == kHsnak && (ep0cs_ & kHsnak) && !directionIn_ &&
          outReceived_ < static_cast<std::uint32_t>(setupdat_[6] | setupdat_[7] << 8))
        faults_.push_back(Ep0Fault::HsnakBeforeOutData);
      if (value & kStall) ep0cs_ |= kStall;
      if (value & kHsnak) ep0cs_ &= static_cast<std::uint8_t>(~kHsnak);
      break;
    case fx2::SUDPTRH:
      sudptrh_ = value;
      break;
    case fx2::SUDPTRL:
      sudptrl_ = value & 0xFE;
      StartDescriptor();
      break;
    case fx2::SUDPTRCTL:
      sudptrctl_ = value & 0x01;
      break;
    default:
      break;
  }
}

std::uint8_t Fx2Usb::ReadSfr(std::uint8_t address) {
  if (address == fx2::EP01STAT) return Busy() ? fx2::EP01STAT_EP0BSY : 0;
  return 0xFF;
}

void Fx2Usb::StartDescriptor() {
  descriptorAddress_ = static_cast<std::uint16_t>(sudptrh_ << 8 | sudptrl_);
  const std::uint16_t wLength = static_cast<std::uint16_t>(setupdat_[6] | setupdat_[7] << 8);
  std::uint32_t length;
  if (sudptrctl_ & 1) {
    // Configuration descriptors (and their other-speed twins) go out whole: wTotalLength.
    const std::uint8_t type = readMemory_(static_cast<std::uint16_t>(descriptorAddress_ + 1));
    if (type == 2 || type == 7) {
      length = readMemory_(static_cast<std::uint16_t>(descriptorAddress_ + 2)) |
               readMemory_(static_cast<std::uint16_t>(descriptorAddress_ + 3)) << 8;
    } else {
      length = readMemory_(descriptorAddress_);
    }
    length = std::min<std::uint32_t>(length, wLength);
  } else {
    length = static_cast<std::uint32_t>(ep0bch_ << 8 | ep0bcl_);
  }
  descriptorLeft_ = length;
  descriptorDone_ = length == 0;
}

void Fx2Usb::HostSetup(const usb::SetupPacket& setup) {
  setupdat_ = {setup.bmRequestType,
               setup.bRequest,
               static_cast<std::uint8_t>(setup.wValue),
               static_cast<std::uint8_t>(setup.wValue >> 8),
               static_cast<std::uint8_t>(setup.wIndex),
               static_cast<std::uint8_t>(setup.wIndex >> 8),
               static_cast<std::uint8_t>(setup.wLength),
               static_cast<std::uint8_t>(setup.wLength >> 8)};
  directionIn_ = (setup.bmRequestType & 0x80) != 0;
  ep0cs_ = kHsnak;  // a SETUP clears STALL and BUSY and NAKs the status stage
  outArmed_ = false;
  inCount_ = -1;
  descriptorLeft_ = 0;
  descriptorDone_ = false;
  inArmed_ = outReceived_ = 0;
  pairs_[kUsbIrq] |= kSutok;
  Raise(kUsbIrq, kSudav);
}

void Fx2Usb::HostBusReset() {
  ep0cs_ &= static_cast<std::uint8_t>(~kStall);
  outArmed_ = false;
  inCount_ = -1;
  descriptorLeft_ = 0;
  descriptorDone_ = false;
  fnaddr_ = 0;
  inReset_ = true;
  Raise(kUsbIrq, kUres);
}

void Fx2Usb::HostBusResetEnd() {
  inReset_ = false;
  if (highSpeed_) Raise(kUsbIrq, kHsGrant);
}

void Fx2Usb::HostDeliverOut(std::span<const std::uint8_t> packet) {
  const std::size_t count = std::min(packet.size(), kPacketSize);
  std::copy_n(packet.begin(), count, ep0buf_.begin());
  ep0bch_ = 0;
  ep0bcl_ = static_cast<std::uint8_t>(count);
  outArmed_ = false;
  outReceived_ += static_cast<std::uint32_t>(count);
  Raise(kEpIrq, kEp0Out);
}

std::size_t Fx2Usb::HostTakeIn(std::span<std::uint8_t> dest) {
  std::size_t count = 0;
  if (descriptorLeft_ > 0) {
    count = std::min<std::size_t>({descriptorLeft_, kPacketSize, dest.size()});
    for (std::size_t i = 0; i < count; ++i)
      dest[i] = readMemory_(static_cast<std::uint16_t>(descriptorAddress_ + i));
    descriptorAddress_ = static_cast<std::uint16_t>(descriptorAddress_ + count);
    descriptorLeft_ -= static_cast<std::uint32_t>(count);
    // The chip sends the last packet short (or as a zero-length one) by itself.
    if (descriptorLeft_ == 0 || count < kPacketSize) {
      descriptorLeft_ = 0;
      descriptorDone_ = true;
    }
  } else if (inCount_ >= 0) {
    count = std::min<std::size_t>(static_cast<std::size_t>(inCount_), dest.size());
    std::copy_n(ep0buf_.begin(), count, dest.begin());
    inCount_ = -1;
  }
  Raise(kEpIrq, kEp0In);
  return count;
}

}  // namespace vesk::sim::board
