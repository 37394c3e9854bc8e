#include "sim/board/emulated_board.h"

#include <algorithm>
#include <utility>

#include "fx2/generated/fx2_register_map.h"

namespace vesk::sim::board {
namespace {

using usb::SetupPacket;
using usb::TransferResult;
using usb::TransferStatus;

constexpr std::uint8_t kRequestFx2Load = 0xA0;
constexpr std::uint8_t kTypeMask = 0x60, kTypeStandard = 0x00, kTypeVendor = 0x40;
constexpr std::uint8_t kGetStatus = 0, kClearFeature = 1, kSetFeature = 3, kSetAddress = 5,
                       kGetDescriptor = 6, kGetConfiguration = 8, kSetConfiguration = 9,
                       kGetInterface = 10, kSetInterface = 11;
constexpr std::size_t kPacket = Fx2Usb::kPacketSize;

bool IsIn(const SetupPacket& setup) {
  return (setup.bmRequestType & 0x80) != 0;
}

// What the host may reach with 0xA0: main RAM, scratch RAM and CPUCS.
bool LoadableRange(std::uint32_t first, std::uint32_t count) {
  if (count == 0) return true;
  const std::uint32_t last = first + count - 1;
  if (last < Bus::kMainRamSize) return true;
  if (first >= Bus::kScratchFirst && last < Bus::kScratchFirst + Bus::kScratchSize) return true;
  return first == fx2::CPUCS && count == 1;
}

}  // namespace

// Port A's latch and output enable, so that the board can tell when its LED is lit.
class EmulatedBoard::Led : public Peripheral {
 public:
  std::uint8_t ReadSfr(std::uint8_t address) override { return address == fx2::IOA ? ioa_ : oea_; }
  bool SfrReadIsPure(std::uint8_t) const override { return true; }
  void WriteSfr(std::uint8_t address, std::uint8_t value) override {
    const bool before = Lit();
    (address == fx2::IOA ? ioa_ : oea_) = value;
    if (Lit() != before) ++toggles_;
  }
  void Reset() override {
    ioa_ = fx2::IOA_RESET;
    oea_ = 0;
    toggles_ = 0;
  }
  bool Lit() const { return (ioa_ & oea_ & kLedPortBit) != 0; }
  std::uint64_t toggles_ = 0;

 private:
  std::uint8_t ioa_ = 0, oea_ = 0;
};

EmulatedBoard::EmulatedBoard()
    : cpu_(bus_),
      mux_(i2c_, kMuxAddress, kMuxPowerUpControl),
      i2cMaster_(i2c_, cpu_, [this] { return bus_.Now(); }),
      usb_(cpu_, [this](std::uint16_t address) { return bus_.ReadXdata(address); }),
      led_(std::make_unique<Led>()) {
  for (int chip = 0; chip < kChips; ++chip)
    for (int bank = 0; bank < kBanksPerChip; ++bank)
      mux_.Channel(chip).Attach(static_cast<std::uint8_t>(kBankAddress0 + bank),
                                eeproms_[chip][bank]);

  bus_.AttachXdata(fx2::I2CS, fx2::I2CTL, &i2cMaster_);
  bus_.AttachXdata(Fx2Usb::kFirstPair, Fx2Usb::kLastPair, &usb_);
  bus_.AttachXdata(fx2::INT2IVEC, fx2::INT2IVEC, &usb_);
  bus_.AttachXdata(fx2::USBCS, fx2::USBCS, &usb_);
  bus_.AttachXdata(fx2::FNADDR, fx2::FNADDR, &usb_);
  bus_.AttachXdata(fx2::EP0BCH, fx2::EP0BCL, &usb_);
  bus_.AttachXdata(fx2::EP0CS, fx2::EP0CS, &usb_);
  bus_.AttachXdata(fx2::SUDPTRH, fx2::SUDPTRCTL, &usb_);
  bus_.AttachXdata(fx2::SETUPDAT, fx2::SETUPDAT + fx2::SETUPDAT_SIZE - 1, &usb_);
  bus_.AttachXdata(fx2::EP0BUF, fx2::EP0BUF + fx2::EP0BUF_SIZE - 1, &usb_);
  bus_.AttachSfr(static_cast<std::uint8_t>(fx2::EP01STAT), &usb_);
  bus_.WatchWrites(&usb_);
  bus_.AttachSfr(static_cast<std::uint8_t>(fx2::IOA), led_.get());
  bus_.AttachSfr(static_cast<std::uint8_t>(fx2::OEA), led_.get());
  PowerCycle();
}

EmulatedBoard::~EmulatedBoard() = default;

bool EmulatedBoard::LedLit() const {
  return led_->Lit();
}
std::uint64_t EmulatedBoard::LedToggles() const {
  return led_->toggles_;
}

std::vector<std::uint8_t> EmulatedBoard::SaveEepromImage() const {
  std::vector<std::uint8_t> image;
  image.reserve(kEepromImageSize);
  for (const auto& chip : eeproms_)
    for (const Eeprom& bank : chip)
      image.insert(image.end(), bank.Contents().begin(), bank.Contents().end());
  return image;
}

bool EmulatedBoard::LoadEepromImage(std::span<const std::uint8_t> image) {
  if (image.size() != kEepromImageSize) return false;
  std::size_t at = 0;
  for (auto& chip : eeproms_)
    for (Eeprom& bank : chip) {
      std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(at), kBankSize,
                  bank.Contents().begin());
      at += kBankSize;
    }
  return true;
}

void EmulatedBoard::EraseEeproms() {
  for (auto& chip : eeproms_)
    for (Eeprom& bank : chip) bank.Erase();
}

void EmulatedBoard::RunFor(SimTime duration) {
  cpu_.RunUntil(bus_.Now() + duration);
}

BootReport EmulatedBoard::PowerCycle() {
  cpu_.SetHeld(true);
  bus_.Reset();
  cpu_.Reset();
  // CPUCS back to its power-on value 0x02 (12 MHz, CLKOE), with the CPU held.
  bus_.WriteXdata(fx2::CPUCS, 0x02 | fx2::CPUCS_8051RES);
  std::fill(bus_.MainRam().begin(), bus_.MainRam().end(), 0);
  std::fill(bus_.ScratchRam().begin(), bus_.ScratchRam().end(), 0);
  for (int address = 0; address < 256; ++address)
    cpu_.SetIram(static_cast<std::uint8_t>(address), 0);
  i2c_.PowerDown();
  mux_.Reset();
  for (auto& chip : eeproms_)
    for (Eeprom& bank : chip) bank.PowerUp();
  unplugged_ = false;
  unplugAfter_.reset();
  failNext_ = 0;
  powerUpAt_ = bus_.Now();
  identity_ = UsbIdentity{};
  interruption_.reset();
  sdaHoldAfterRelease_ = 0;
  lastBoot_ = Boot();
  // The host enumerates the board it finds: an address, then its one configuration.
  usb_.SetAddress(kEnumeratedAddress);
  configuration_ = 1;
  return lastBoot_;
}

BootReport EmulatedBoard::Boot() {
  // The FX2's boot logic drives the bus itself at 100 kHz (400 kHz once a C2 header's
  // configuration byte asks for it), before any firmware runs.
  SimTime now = bus_.Now();
  const SimTime start = now;
  SimTime bit = i2cMaster_.BitTime(false);
  BootReport report;

  auto probe = [&](std::uint8_t address) {
    i2c_.Start(now);
    now += 10 * bit;
    const bool ack = i2c_.Write(static_cast<std::uint8_t>(address << 1 | 1), now);
    if (ack) {
      now += 9 * bit;
      i2c_.Read(false, now);
    }
    now += bit;
    i2c_.Stop(now);
    return ack;
  };
  int addressBytes = 0;
  std::uint8_t eeprom = 0;
  if (probe(kBootEepromSmall)) {
    addressBytes = 1;
    eeprom = kBootEepromSmall;
  } else if (probe(kBootEepromLarge)) {
    addressBytes = 2;
    eeprom = kBootEepromLarge;
  }
  if (addressBytes == 0) {
    report.duration = now - start;
    cpu_.RunUntil(now);
    return report;
  }
  i2cMaster_.SetBootId(addressBytes == 2 ? I2cMaster::kIdTwoByteEeprom : 0x08);

  // Reset the address pointer, then read on sequentially.
  i2c_.Start(now);
  now += 10 * bit;
  i2c_.Write(static_cast<std::uint8_t>(eeprom << 1), now);
  for (int i = 0; i < addressBytes; ++i) {
    now += 9 * bit;
    i2c_.Write(0x00, now);
  }
  i2c_.Start(now);
  now += 10 * bit;
  i2c_.Write(static_cast<std::uint8_t>(eeprom << 1 | 1), now);
  std::uint32_t bytesRead = 0;
  auto next = [&] {
    now += 9 * bit;
    ++bytesRead;
    return i2c_.Read(true, now);
  };
  auto finish = [&] {
    now += 9 * bit;
    i2c_.Read(false, now);
    now += bit;
    i2c_.Stop(now);
    cpu_.RunUntil(now);
    report.duration = now - start;
  };

  const std::uint8_t kind = next();
  if (kind != 0xC0 && kind != 0xC2) {
    report.kind = BootKind::NotBootable;
    finish();
    return report;
  }
  std::array<std::uint8_t, 7> header{};
  for (std::uint8_t& byte : header) byte = next();
  UsbIdentity identity;
  identity.vendorId = static_cast<std::uint16_t>(header[0] | header[1] << 8);
  identity.productId = static_cast<std::uint16_t>(header[2] | header[3] << 8);
  identity.deviceId = static_cast<std::uint16_t>(header[4] | header[5] << 8);
  report.identity = identity;
  if (kind == 0xC0) {
    identity_ = identity;
    report.kind = BootKind::Identity;
    finish();
    return report;
  }
  if (header[6] & 0x01) bit = i2cMaster_.BitTime(true);

  // Records: LenH LenL AddrH AddrL data; bit 15 of the length marks the last one.
  std::vector<std::pair<std::uint16_t, std::uint8_t>> registerWrites;
  bool ended = false;
  while (!ended && bytesRead + 4 <= kBankSize) {
    const std::uint16_t lengthWord = static_cast<std::uint16_t>(next() << 8 | next());
    std::uint16_t address = static_cast<std::uint16_t>(next() << 8 | next());
    const std::uint16_t length = lengthWord & 0x03FF;
    ended = (lengthWord & 0x8000) != 0;
    if (bytesRead + length > kBankSize) break;
    for (std::uint16_t i = 0; i < length; ++i, ++address) {
      const std::uint8_t value = next();
      if (address < Bus::kMainRamSize ||
          (address >= Bus::kScratchFirst && address < Bus::kScratchFirst + Bus::kScratchSize)) {
        bus_.WriteXdata(address, value);
        ++report.bytesLoaded;
      } else if (address == fx2::CPUCS) {
        registerWrites.emplace_back(address, value);
      }
    }
  }
  finish();
  if (!ended || registerWrites.empty()) {
    report.kind = BootKind::BadImage;
    return report;
  }
  identity_ = identity;
  usb_.SetRenumerated(true);
  report.kind = BootKind::Loaded;
  for (const auto& [address, value] : registerWrites) bus_.WriteXdata(address, value);
  return report;
}

void EmulatedBoard::Stage() {
  usb_.HostFrame();
  cpu_.RunUntil(bus_.Now() + Frame());
}

void EmulatedBoard::BusReset() {
  usb_.HostBusReset();
  configuration_ = 0;
  cpu_.RunUntil(bus_.Now() + kBusResetTime);
  usb_.HostBusResetEnd();
}

void EmulatedBoard::Suspend(SimTime idle) {
  const SimTime start = bus_.Now();
  cpu_.RunUntil(start + std::min(idle, kSuspendAfterIdle));
  if (idle >= kSuspendAfterIdle) {
    usb_.HostSuspend();
    cpu_.RunUntil(start + idle);
  }
  usb_.HostResume();
  cpu_.RunUntil(bus_.Now() + kResumeSignalling);
}

template <typename Ready>
bool EmulatedBoard::WaitFor(Ready ready, SimTime deadline) {
  // The host tries now and then every kRetry (several times a microframe); a try sees
  // every instruction that started before it.
  constexpr SimTime kRetry = kMicroframe / 8;
  const SimTime first = bus_.Now();
  SimTime retry = first;
  while (!ready()) {
    if (bus_.Now() >= deadline) return false;
    if (cpu_.FastForward()) {
      // A try that finds EP0 as the last one left it changes nothing (its NAK flags are
      // set already), so the board runs on until the firmware writes to the USB block or
      // EXIF; the first try after that instruction's start is the next that can differ.
      bus_.ClearChangeMark();
      if (cpu_.RunUntil(deadline, true) != StopReason::Changed) continue;
      retry = first + ((bus_.ChangeTime() - first) / kRetry + 1) * kRetry;
    } else {
      retry += kRetry;
    }
    cpu_.RunUntil(std::min(deadline, retry));
  }
  return true;
}

TransferResult EmulatedBoard::ControlTransfer(const SetupPacket& setup,
                                              std::span<std::uint8_t> data) {
  RequestRecord record{setup, TransferStatus::Other, 0, false, SincePowerUp(), 0};
  const SimTime startedAt = bus_.Now();
  ++requestCount_;
  meeting_ = std::exchange(interruption_, std::nullopt);
  TransferResult result{TransferStatus::Other, 0};
  if (unplugAfter_ && requestCount_ > *unplugAfter_) unplugged_ = true;
  if (unplugged_ || usb_.Disconnected()) {
    result.status = TransferStatus::NoDevice;
  } else if (failNext_ > 0) {
    --failNext_;
  } else if (data.size() >= setup.wLength) {
    if (meeting_ && meeting_->point == HostEventPoint::BeforeSetup) {
      const HostInterruption before = *std::exchange(meeting_, std::nullopt);
      if (before.event == HostEvent::BusReset) BusReset();
      if (before.event == HostEvent::Suspend) Suspend(before.duration);
    }
    result = Serve(setup, data.first(setup.wLength), record.servedByChip);
  }
  record.status = result.status;
  record.actualLength = result.actualLength;
  record.duration = bus_.Now() - startedAt;
  log_.push_back(record);
  return result;
}

TransferResult EmulatedBoard::Serve(const SetupPacket& setup, std::span<std::uint8_t> data,
                                    bool& servedByChip) {
  const SimTime deadline = bus_.Now() + kControlTimeout;
  const std::uint8_t type = setup.bmRequestType & kTypeMask;
  servedByChip = true;
  // The SETUP transaction; the chip decides who answers once the packet has landed.
  Stage();
  if (type == kTypeVendor && setup.bRequest == kRequestFx2Load) return ChipLoad(setup, data);
  if (type == kTypeStandard && setup.bRequest == kSetAddress && !IsIn(setup)) {
    usb_.SetAddress(static_cast<std::uint8_t>(setup.wValue));
    Stage();
    return {TransferStatus::Ok, 0};
  }
  if (!usb_.Renumerated()) return ChipStandard(setup, data);
  servedByChip = false;
  return FirmwareTransfer(setup, data, deadline);
}

TransferResult EmulatedBoard::ChipLoad(const SetupPacket& setup, std::span<std::uint8_t> data) {
  if (!LoadableRange(setup.wValue, setup.wLength)) {
    Stage();
    return {TransferStatus::Stall, 0};
  }
  std::uint32_t moved = 0;
  while (moved < data.size()) {
    Stage();
    const std::size_t count = std::min(kPacket, data.size() - moved);
    for (std::size_t i = 0; i < count; ++i, ++moved) {
      const auto address = static_cast<std::uint16_t>(setup.wValue + moved);
      if (IsIn(setup)) {
        data[moved] = bus_.ReadXdata(address);
      } else {
        const bool held = cpu_.Held();
        bus_.WriteXdata(address, data[moved]);
        if (held && !cpu_.Held() && sdaHoldAfterRelease_ > 0) {
          i2cMaster_.HoldSdaUntil(bus_.Now() + sdaHoldAfterRelease_);
          sdaHoldAfterRelease_ = 0;
        }
      }
    }
  }
  Stage();
  return {TransferStatus::Ok, moved};
}

TransferResult EmulatedBoard::ChipStandard(const SetupPacket& setup, std::span<std::uint8_t> data) {
  std::vector<std::uint8_t> reply;
  bool ok = (setup.bmRequestType & kTypeMask) == kTypeStandard;
  const std::uint8_t recipient = setup.bmRequestType & 0x1F;
  if (ok && IsIn(setup)) {
    switch (setup.bRequest) {
      case kGetDescriptor: {
        const std::uint8_t descriptorType = static_cast<std::uint8_t>(setup.wValue >> 8);
        const std::uint8_t vidL = static_cast<std::uint8_t>(identity_.vendorId),
                           vidH = static_cast<std::uint8_t>(identity_.vendorId >> 8),
                           pidL = static_cast<std::uint8_t>(identity_.productId),
                           pidH = static_cast<std::uint8_t>(identity_.productId >> 8),
                           didL = static_cast<std::uint8_t>(identity_.deviceId),
                           didH = static_cast<std::uint8_t>(identity_.deviceId >> 8);
        if (descriptorType == 1 && (setup.wValue & 0xFF) == 0) {
          reply = {18,   1,    0x00, 0x02, 0xFF, 0xFF, 0xFF, 64, vidL,
                   vidH, pidL, pidH, didL, didH, 0,    0,    0,  1};
        } else if ((descriptorType == 2 || descriptorType == 7) && (setup.wValue & 0xFF) == 0) {
          // One configuration, one vendor-specific interface, no endpoint besides EP0.
          reply = {9, descriptorType, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0};
        } else if (descriptorType == 6) {
          reply = {10, 6, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64, 1, 0};
        } else {
          ok = false;
        }
        break;
      }
      case kGetStatus:
        reply = {0, 0};
        ok = recipient <= 2;
        break;
      case kGetConfiguration:
        reply = {configuration_};
        break;
      case kGetInterface:
        reply = {0};
        ok = recipient == 1 && setup.wIndex == 0;
        break;
      default:
        ok = false;
    }
  } else if (ok) {
    switch (setup.bRequest) {
      case kSetConfiguration:
        ok = setup.wValue <= 1;
        if (ok) configuration_ = static_cast<std::uint8_t>(setup.wValue);
        break;
      case kSetInterface:
        ok = setup.wIndex == 0 && setup.wValue == 0;
        break;
      case kClearFeature:
      case kSetFeature:
        break;
      default:
        ok = false;
    }
    ok = ok && setup.wLength == 0;
  }
  if (!ok) {
    Stage();
    return {TransferStatus::Stall, 0};
  }
  const std::size_t count = std::min(reply.size(), data.size());
  std::copy_n(reply.begin(), count, data.begin());
  const std::size_t packets = data.empty() ? 0 : count / kPacket + 1;
  for (std::size_t packet = 0; packet < packets; ++packet) Stage();
  Stage();
  return {TransferStatus::Ok, static_cast<std::uint32_t>(count)};
}

TransferResult EmulatedBoard::FirmwareTransfer(const SetupPacket& setup,
                                               std::span<std::uint8_t> data, SimTime deadline) {
  usb_.HostSetup(setup);
  const auto stalled = [this] { return usb_.HostStalled(); };
  std::uint32_t moved = 0, packets = 0;
  std::optional<HostInterruption> event = std::exchange(meeting_, std::nullopt);
  SimTime eventAt =
      event && event->point == HostEventPoint::AtTime ? bus_.Now() + event->after : kNever;
  // Meets the host event now: a result when it ends the transfer.
  const auto meet = [&]() -> std::optional<TransferResult> {
    const HostInterruption now = *std::exchange(event, std::nullopt);
    eventAt = kNever;
    if (now.event == HostEvent::Suspend) {
      Suspend(now.duration);
      deadline += now.duration + kResumeSignalling;
      return std::nullopt;
    }
    if (now.event == HostEvent::BusReset) BusReset();
    return TransferResult{TransferStatus::Other, moved};
  };
  const auto meetAt = [&](HostEventPoint point) -> std::optional<TransferResult> {
    if (!event) return std::nullopt;
    const bool packetPoint =
        point == HostEventPoint::BeforePacket || point == HostEventPoint::AfterPacket;
    const std::uint32_t packet = point == HostEventPoint::BeforePacket ? packets + 1 : packets;
    if (event->point == point && (!packetPoint || event->packet == packet)) return meet();
    if (bus_.Now() >= eventAt) return meet();
    return std::nullopt;
  };
  // Waits for `ready` as WaitFor does, meeting a timed host event on the way.
  const auto wait = [&](auto ready) -> std::optional<TransferResult> {
    for (;;) {
      if (WaitFor(ready, std::min(deadline, eventAt))) return std::nullopt;
      if (bus_.Now() < eventAt || !event) return TransferResult{TransferStatus::Timeout, moved};
      if (auto ended = meet()) return ended;
    }
  };

  if (!IsIn(setup)) {
    while (moved < data.size()) {
      const auto armed = [&] {
        if (usb_.HostOutArmed() || stalled()) return true;
        usb_.HostOutNaked();
        return false;
      };
      if (auto ended = wait(armed)) return *ended;
      if (!stalled())
        if (auto ended = meetAt(HostEventPoint::BeforePacket)) return *ended;
      Stage();
      if (stalled()) return {TransferStatus::Stall, moved};
      const std::size_t count = std::min(kPacket, data.size() - moved);
      usb_.HostDeliverOut(data.subspan(moved, count));
      moved += static_cast<std::uint32_t>(count);
      ++packets;
      if (auto ended = meetAt(HostEventPoint::AfterPacket)) return *ended;
    }
  } else {
    while (moved < data.size() && !usb_.HostDescriptorFinished()) {
      const auto ready = [&] {
        if (usb_.HostInReady() || stalled()) return true;
        usb_.HostInNaked();
        return false;
      };
      if (auto ended = wait(ready)) return *ended;
      if (!stalled())
        if (auto ended = meetAt(HostEventPoint::BeforePacket)) return *ended;
      Stage();
      if (stalled()) return {TransferStatus::Stall, moved};
      const std::size_t want = std::min(kPacket, data.size() - moved);
      const std::size_t count = usb_.HostTakeIn(data.subspan(moved, want));
      moved += static_cast<std::uint32_t>(count);
      ++packets;
      if (auto ended = meetAt(HostEventPoint::AfterPacket)) return *ended;
      if (count < kPacket) break;
    }
  }

  if (auto ended = meetAt(HostEventPoint::StatusStage)) return *ended;
  if (auto ended = wait([&] { return usb_.HostStatusReady() || stalled(); })) return *ended;
  Stage();
  if (stalled()) return {TransferStatus::Stall, moved};
  usb_.HostStatusDone();
  return {TransferStatus::Ok, moved};
}

namespace {
class BoardPort : public usb::UsbControlPort {
 public:
  explicit BoardPort(EmulatedBoard& board) : board_(board) {}
  TransferResult ControlTransfer(const SetupPacket& setup, std::span<std::uint8_t> data) override {
    return board_.ControlTransfer(setup, data);
  }

 private:
  EmulatedBoard& board_;
};
}  // namespace

// A board is found while it is plugged in and shows one of the boards' identities.
std::optional<BoardState> EmulatedBoardSource::Found(std::size_t i) const {
  if (boards_[i].board->Unplugged()) return std::nullopt;
  // The identity the board enumerated with; firmware loaded into RAM keeps it.
  const UsbIdentity& identity = boards_[i].board->Identity();
  return BoardStateOf(identity.vendorId, identity.productId, identity.deviceId);
}

DriverStatus EmulatedBoardSource::OpenMember(std::uint16_t memberIndex,
                                          std::unique_ptr<usb::UsbControlPort>& port,
                                          std::string& path) {
  std::uint16_t member = 0;
  for (std::size_t i = 0; i < boards_.size(); ++i) {
    if (!Found(i)) continue;
    if (member++ != memberIndex) continue;
    path = "emulated:" + std::to_string(boards_[i].number);
    port = std::make_unique<BoardPort>(*boards_[i].board);
    return {};
  }
  return Failure(StatusKind::NoDevice, std::string(usb::kNoBoardNote));
}

std::vector<BoardInfo> EmulatedBoardSource::ListBoards() {
  std::vector<BoardInfo> boards;
  for (std::size_t i = 0; i < boards_.size(); ++i) {
    const std::optional<BoardState> state = Found(i);
    if (!state) continue;
    const UsbIdentity& identity = boards_[i].board->Identity();
    boards.push_back({"emulated:" + std::to_string(boards_[i].number), identity.vendorId,
                      identity.productId,
                      *state, ""});
  }
  return boards;
}

}  // namespace vesk::sim::board
