#pragma once
// The FX2's USB side as its firmware sees it: USBCS (RENUM, DISCON), the endpoint-0
// registers (SETUPDAT, EP0BUF, EP0BCH/L, EP0CS, SUDPTR), the interrupt enable/request pairs
// from EP2FIFOIE/IRQ to USBERRIE/IRQ, INT2IVEC and EP01STAT. The host side of each control
// transfer is driven by the board through the Host* calls, packet by packet, and so are the
// bus's own events (reset, suspend, resume). Only a power cycle resets these registers:
// holding the CPU leaves them as they are, and a USB bus reset only ends endpoint 0's
// transfer and clears the address (see HostBusReset).

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "device/usb/usb_control_port.h"
#include "sim/peripheral.h"

namespace vesk::sim::board {

// Endpoint-0 use that the chip's documentation does not allow; the board records each.
enum class Ep0Fault {
  InLongerThanRequested,   // IN packets armed beyond wLength
  BufferWrittenWhileBusy,  // EP0BUF written while EP0 is BUSY
  CountWrittenWhileBusy,   // EP0BCL written while EP0 is BUSY
  HsnakBeforeOutData,      // status stage acknowledged before the OUT data stage ended
};

class Fx2Usb : public Peripheral {
 public:
  static constexpr std::size_t kPacketSize = 64;
  static constexpr std::uint8_t kHsnak = 0x80, kBusy = 0x02, kStall = 0x01;
  static constexpr std::uint8_t kRenum = 0x02, kDiscon = 0x08, kHighSpeed = 0x80;
  static constexpr std::uint8_t kSudav = 0x01, kSof = 0x02, kSutok = 0x04, kSusp = 0x08,
                                kUres = 0x10, kHsGrant = 0x20, kEp0Ack = 0x40;
  static constexpr std::uint8_t kEp0In = 0x01, kEp0Out = 0x02;
  static constexpr std::uint8_t kIbnEp0 = 0x01, kNakIbn = 0x01, kNakEp0Ping = 0x04;
  // The enable/request pairs, enable at the even address: EP2..8FIFO, IBN, NAK, USB, EP,
  // GPIF, USBERR.
  static constexpr std::uint16_t kFirstPair = 0xE650, kLastPair = 0xE663;

  // `readMemory` reads the FX2's RAM for SUDPTR descriptor transfers.
  Fx2Usb(InterruptRequests& interrupts, std::function<std::uint8_t(std::uint16_t)> readMemory)
      : interrupts_(interrupts), readMemory_(std::move(readMemory)) {}

  std::uint8_t ReadXdata(std::uint16_t address) override;
  void WriteXdata(std::uint16_t address, std::uint8_t value) override;
  std::uint8_t ReadSfr(std::uint8_t address) override;
  // No register changes when read.
  bool ReadIsPure(std::uint16_t) const override { return true; }
  bool SfrReadIsPure(std::uint8_t) const override { return true; }
  void Reset() override;

  bool Renumerated() const { return (usbcs_ & kRenum) != 0; }
  void SetRenumerated(bool on);
  bool Disconnected() const { return (usbcs_ & kDiscon) != 0; }
  void SetAddress(std::uint8_t address) { fnaddr_ = address & 0x7F; }
  std::uint8_t Address() const { return fnaddr_; }
  // The speed the port runs at: USBCS.HSM. A board attached to a full-speed port never
  // leaves full speed; a high-speed one is back at full speed during a bus reset.
  void SetHighSpeed(bool on) { highSpeed_ = on; }
  bool HighSpeed() const { return highSpeed_; }

  // The host's side of one control transfer handed to the firmware.
  void HostSetup(const usb::SetupPacket& setup);
  bool HostStalled() const { return (ep0cs_ & kStall) != 0; }
  // OUT data stage: true once the firmware has armed EP0 for the next packet.
  bool HostOutArmed() const { return outArmed_; }
  void HostDeliverOut(std::span<const std::uint8_t> packet);
  // IN data stage: true once a packet (firmware's EP0BUF or SUDPTR data) is ready.
  bool HostInReady() const { return inCount_ >= 0 || descriptorLeft_ > 0; }
  // Takes the ready packet into `dest` (at most its size); returns its length.
  std::size_t HostTakeIn(std::span<std::uint8_t> dest);
  // The SUDPTR transfer has sent its last packet: the data stage is over.
  bool HostDescriptorFinished() const { return descriptorDone_; }
  // Status stage: true once the firmware has cleared HSNAK (or the SUDPTR transfer has
  // ended, which the chip acknowledges by itself).
  bool HostStatusReady() const { return (ep0cs_ & kHsnak) == 0 || descriptorDone_; }
  // Bus events that only raise interrupt requests: a microframe's SOF, an IN token or an
  // OUT PING that EP0 NAKed, and a completed status stage.
  void HostFrame() { Raise(kUsbIrq, kSof); }
  void HostInNaked();
  void HostOutNaked() { Raise(kNakIrq, kNakEp0Ping); }
  void HostStatusDone() { Raise(kUsbIrq, kEp0Ack); }
  // The start of a USB bus reset (SE0): URES; endpoint 0's transfer ends (BUSY and STALL
  // cleared, no packet armed, a SUDPTR transfer dropped) while EP0BUF, EP0BCH:L, SETUPDAT,
  // HSNAK, the enables, RENUM and SUDPTRCTL stay; the address goes back to 0 and the port
  // runs at full speed until the reset ends.
  void HostBusReset();
  // The end of the reset: back at the attach speed, HSGRANT raised when that is high speed.
  void HostBusResetEnd();
  // 3 ms without bus activity: SUSP. The wakeup (resume signalling) asks for the 8051's
  // RESUME interrupt, which also ends an idle CPU.
  void HostSuspend() { Raise(kUsbIrq, kSusp); }
  void HostResume() { interrupts_.RequestInterrupt(Interrupt::Resume); }

  const std::vector<Ep0Fault>& Faults() const { return faults_; }
  void ClearFaults() { faults_.clear(); }

 private:
  static constexpr int kIbnIrq = 0xE659 - kFirstPair, kNakIrq = 0xE65B - kFirstPair,
                       kUsbIrq = 0xE65D - kFirstPair, kEpIrq = 0xE65F - kFirstPair,
                       kUsbErrIrq = 0xE663 - kFirstPair;
  // Pending and enabled requests of the pair whose request register is at `irq`.
  std::uint8_t Pending(int irq) const {
    return static_cast<std::uint8_t>(pairs_[irq] & pairs_[irq - 1]);
  }
  bool Busy() const { return outArmed_ || inCount_ >= 0 || descriptorLeft_ > 0; }
  void Raise(int irq, std::uint8_t bits);
  void RequestIfPending();
  std::uint8_t Int2Vector() const;
  void StartDescriptor();

  InterruptRequests& interrupts_;
  std::function<std::uint8_t(std::uint16_t)> readMemory_;
  std::array<std::uint8_t, 8> setupdat_{};
  std::array<std::uint8_t, kPacketSize> ep0buf_{};
  std::uint8_t usbcs_ = 0, fnaddr_ = 0;
  bool highSpeed_ = true, inReset_ = false;
  std::array<std::uint8_t, kLastPair - kFirstPair + 1> pairs_{};
  std::uint8_t ep0bch_ = 0, ep0bcl_ = 0, ep0cs_ = kHsnak;
  std::uint8_t sudptrh_ = 0, sudptrl_ = 0, sudptrctl_ = 1;
  bool directionIn_ = false;
  bool outArmed_ = false;
  int inCount_ = -1;  // bytes of the armed IN packet, -1 when none
  std::uint16_t descriptorAddress_ = 0;
  std::uint32_t descriptorLeft_ = 0;
  bool descriptorDone_ = false;
  std::uint32_t inArmed_ = 0;      // IN bytes armed in this transfer
  std::uint32_t outReceived_ = 0;  // OUT bytes delivered in this transfer
  std::vector<Ep0Fault> faults_;
};

}  // namespace vesk::sim::board
