#include "sim/board/fx2_usb.h"

#include <algorithm>

#include "fx2/generated/fx2_register_map.h"

namespace vesk::sim::board {

void Fx2Usb::Reset() {
  setupdat_.fill(0);
  ep0buf_.fill(0);
  usbcs_ = fnaddr_ = 0;
  usbie_ = usbirq_ = epie_ = epirq_ = 0;
  ep0bch_ = ep0bcl_ = 0;
  ep0cs_ = kHsnak;
  sudptrh_ = sudptrl_ = 0;
  sudptrctl_ = 1;
  directionIn_ = outArmed_ = false;
  inCount_ = -1;
  descriptorLeft_ = 0;
  descriptorDone_ = false;
}

void Fx2Usb::SetRenumerated(bool on) {
  usbcs_ = static_cast<std::uint8_t>(on ? usbcs_ | kRenum : usbcs_ & ~kRenum);
}

void Fx2Usb::Raise(std::uint8_t& irq, std::uint8_t bits) {
  irq |= bits;
  RequestIfPending();
}

void Fx2Usb::RequestIfPending() {
  if ((usbirq_ & usbie_) != 0 || (epirq_ & epie_) != 0)
    interrupts_.RequestInterrupt(Interrupt::Usb);
}

std::uint8_t Fx2Usb::Int2Vector() const {
  // USBIRQ sources come first (SUDAV 0x00, SOF 0x04, ...), then EP0IN 0x20, EP0OUT 0x24...
  const std::uint8_t usb = usbirq_ & usbie_;
  for (int bit = 0; bit < 7; ++bit)
    if (usb & (1 << bit)) return static_cast<std::uint8_t>(bit * 4);
  const std::uint8_t ep = epirq_ & epie_;
  for (int bit = 0; bit < 8; ++bit)
    if (ep & (1 << bit)) return static_cast<std::uint8_t>(0x20 + bit * 4);
  return 0;
}

std::uint8_t Fx2Usb::ReadXdata(std::uint16_t address) {
  if (address >= fx2::SETUPDAT && address < fx2::SETUPDAT + fx2::SETUPDAT_SIZE)
    return setupdat_[address - fx2::SETUPDAT];
  if (address >= fx2::EP0BUF && address < fx2::EP0BUF + fx2::EP0BUF_SIZE)
    return ep0buf_[address - fx2::EP0BUF];
  switch (address) {
    case fx2::USBCS:
      return static_cast<std::uint8_t>(usbcs_ | kHighSpeed);
    case fx2::FNADDR:
      return fnaddr_;
    case fx2::USBIE:
      return usbie_;
    case fx2::USBIRQ:
      return usbirq_;
    case fx2::EPIE:
      return epie_;
    case fx2::EPIRQ:
      return epirq_;
    case fx2::INT2IVEC:
      return Int2Vector();
    case fx2::EP0BCH:
      return ep0bch_;
    case fx2::EP0BCL:
      return ep0bcl_;
    case fx2::EP0CS: {
      const bool busy = outArmed_ || inCount_ >= 0 || descriptorLeft_ > 0;
      return static_cast<std::uint8_t>(ep0cs_ | (busy ? kBusy : 0));
    }
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
    ep0buf_[address - fx2::EP0BUF] = value;
    return;
  }
  switch (address) {
    case fx2::USBCS:
      // HSM is read-only; SIGRSUME, DISCON, NOSYNSOF and RENUM are the firmware's.
      usbcs_ = value & 0x0F;
      break;
    case fx2::USBIE:
      usbie_ = value;
      RequestIfPending();
      break;
    case fx2::EPIE:
      epie_ = value;
      RequestIfPending();
      break;
    // Interrupt requests clear by writing 1; another source still pending asks again.
    case fx2::USBIRQ:
      usbirq_ &= static_cast<std::uint8_t>(~value);
      RequestIfPending();
      break;
    case fx2::EPIRQ:
      epirq_ &= static_cast<std::uint8_t>(~value);
      RequestIfPending();
      break;
    case fx2::EP0BCH:
      ep0bch_ = value;
      break;
    case fx2::EP0BCL:
      ep0bcl_ = value;
      if (directionIn_) {
        inCount_ = std::min<int>(ep0bch_ << 8 | ep0bcl_, kPacketSize);
      } else {
        outArmed_ = true;
      }
      break;
    case fx2::EP0CS:
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
  if (address == fx2::EP01STAT) {
    const bool busy = outArmed_ || inCount_ >= 0 || descriptorLeft_ > 0;
    return busy ? fx2::EP01STAT_EP0BSY : 0;
  }
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
  Raise(usbirq_, kSudav);
}

void Fx2Usb::HostDeliverOut(std::span<const std::uint8_t> packet) {
  const std::size_t count = std::min(packet.size(), kPacketSize);
  std::copy_n(packet.begin(), count, ep0buf_.begin());
  ep0bch_ = 0;
  ep0bcl_ = static_cast<std::uint8_t>(count);
  outArmed_ = false;
  Raise(epirq_, kEp0Out);
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
  Raise(epirq_, kEp0In);
  return count;
}

}  // namespace vesk::sim::board
