#pragma once
// The emulated camera board: an FX2 (8051 core, USB side, I2C master) with the reference
// board's multiplexer, twelve EEPROM banks and LED, seen from the host as a USB control
// endpoint. Time is simulated: every control transfer moves the board's clock on by its
// USB stages, during which the CPU runs its firmware.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "board/generated/reference_board.h"
#include "device/usb/usb_control_port.h"
#include "sim/board/eeprom.h"
#include "sim/board/fx2_usb.h"
#include "sim/board/i2c_bus.h"
#include "sim/board/i2c_master.h"
#include "sim/board/reference_board.h"
#include "sim/bus.h"
#include "sim/cpu8051.h"

namespace vesk::sim::board {

inline constexpr SimTime kMicroframe = 125 * kPicosPerMicro;
inline constexpr SimTime kFullSpeedFrame = kPicosPerMilli;
// USB 2.0: a port reset drives SE0 for at least 10 ms (7.1.7.5); a bus idle for 3 ms
// suspends the device (7.1.7.6); the host's resume signalling lasts 20 ms (7.1.7.7).
inline constexpr SimTime kBusResetTime = 10 * kPicosPerMilli;
inline constexpr SimTime kSuspendAfterIdle = 3 * kPicosPerMilli;
inline constexpr SimTime kResumeSignalling = 20 * kPicosPerMilli;
// The address the host gives the board when it enumerates it after power-up.
inline constexpr std::uint8_t kEnumeratedAddress = 5;
// A transfer the firmware neither completes nor stalls in this time fails as a timeout;
// a 4096-byte EEPROM beat (64 pages, each up to 5 ms) fits well inside.
inline constexpr SimTime kControlTimeout = 1000 * kPicosPerMilli;

struct UsbIdentity {
  std::uint16_t vendorId = vesk::board::kBareFx2VendorId;
  std::uint16_t productId = vesk::board::kBareFx2ProductId;
  std::uint16_t deviceId = 0xA001;
};

enum class BootKind {
  NoEeprom,     // nothing answered at 0x50 or 0x51
  NotBootable,  // first byte neither 0xC0 nor 0xC2 (an erased EEPROM reads 0xFF)
  Identity,     // 0xC0: identity only
  Loaded,       // 0xC2: records loaded, CPU released, RENUM set
  BadImage,     // 0xC2 whose records run past the EEPROM or end without CPUCS: CPU held
};

struct BootReport {
  BootKind kind = BootKind::NoEeprom;
  UsbIdentity identity;
  std::uint32_t bytesLoaded = 0;  // data bytes of the C2 records
  SimTime duration = 0;
};

// What the host or the bus does to the board in the middle of a control transfer.
enum class HostEvent {
  BusReset,  // a port reset: the transfer fails (Error), the board is reset as BusReset()
  Suspend,   // the bus idles for `duration` (Suspend()), then the transfer goes on
  Abandon,   // the host gives the transfer up (Error); its next SETUP follows at once
};
enum class HostEventPoint {
  BeforeSetup,   // before the SETUP packet
  BeforePacket,  // data packet number `packet` (1 = the first) is armed but has not moved
  AfterPacket,   // after `packet` data packets (1 = after the first) have moved
  AtTime,        // `after` since the SETUP, wherever the transfer is then
  StatusStage,   // after the data stage, before the status stage
};
struct HostInterruption {
  HostEvent event = HostEvent::BusReset;
  HostEventPoint point = HostEventPoint::BeforeSetup;
  std::uint32_t packet = 0;
  SimTime after = 0;
  SimTime duration = 0;  // Suspend: how long the bus carries nothing
};

struct RequestRecord {
  usb::SetupPacket setup;
  usb::TransferStatus status;
  std::uint32_t actualLength;
  bool servedByChip;  // 0xA0, SET_ADDRESS, or any request while RENUM = 0
  SimTime start;      // since power-up of the board object
  SimTime duration;
};

class EmulatedBoard : public usb::UsbControlPort {
 public:
  // A board just powered up with erased EEPROMs: no boot image, so the bare FX2.
  EmulatedBoard();
  ~EmulatedBoard() override;
  EmulatedBoard(const EmulatedBoard&) = delete;
  EmulatedBoard& operator=(const EmulatedBoard&) = delete;

  usb::TransferResult ControlTransfer(const usb::SetupPacket& setup,
                                      std::span<std::uint8_t> data) override;

  // Power off and on: RAM lost, CPU held, RENUM 0, multiplexer on channel 0, write cycles
  // cut short; then the FX2's own boot from the EEPROM at 0x51 (or 0x50) on channel 0.
  // Unplugging (the fault) is undone as well.
  BootReport PowerCycle();
  const BootReport& LastBoot() const { return lastBoot_; }
  // Lets the board run on its own for `duration` of simulated time.
  void RunFor(SimTime duration);

  // Simulated time: since construction, and since the last power-up.
  SimTime Now() const { return bus_.Now(); }
  SimTime SincePowerUp() const { return bus_.Now() - powerUpAt_; }

  // EEPROM contents of chip 0..1, bank 0..5 (32,768 bytes each).
  Eeprom& Bank(int chip, int bank) { return eeproms_[chip][bank]; }
  // The raw file: chip 0 banks 0..5, then chip 1 banks 0..5. Load refuses (and changes
  // nothing) unless `image` is exactly kEepromImageSize bytes.
  std::vector<std::uint8_t> SaveEepromImage() const;
  bool LoadEepromImage(std::span<const std::uint8_t> image);
  void EraseEeproms();

  Bus& bus() { return bus_; }
  Cpu8051& cpu() { return cpu_; }
  Fx2Usb& usb() { return usb_; }
  const UsbIdentity& Identity() const { return identity_; }

  const std::vector<RequestRecord>& RequestLog() const { return log_; }
  void ClearRequestLog() { log_.clear(); }

  // The LED on port A bit 0: lit now, and how often it changed since power-up.
  bool LedLit() const;
  std::uint64_t LedToggles() const;

  // Faults.
  void SetBankMissing(int chip, int bank, bool missing) { Bank(chip, bank).SetMissing(missing); }
  void SetBankStuckBusy(int chip, int bank, bool stuck) { Bank(chip, bank).SetStuckBusy(stuck); }
  void SetBankWriteProtected(int chip, int bank, bool on) {
    Bank(chip, bank).SetWriteProtected(on);
  }
  void SetBankStuckBits(int chip, int bank, std::uint16_t offset, std::uint8_t mask) {
    Bank(chip, bank).SetStuckBits(offset, mask);
  }
  // After `requests` more control transfers the cable is pulled: every later transfer
  // fails with NoDevice at once, and the board cannot be opened any more.
  void UnplugAfter(std::uint32_t requests) { unplugAfter_ = requestCount_ + requests; }
  bool Unplugged() const { return unplugged_; }
  // The next `requests` control transfers fail (TransferStatus::Other) without reaching
  // the board.
  void FailNextRequests(std::uint32_t requests) { failNext_ = requests; }
  // Host and bus events. A USB port reset as the host does it between two transfers:
  // kBusResetTime of SE0 while the CPU runs, USBIRQ.URES raised at its start, endpoint
  // 0's transfer ended, the address (FNADDR) back to 0, then HSGRANT on a high-speed port.
  // The host enumerates again afterwards with requests of its own (SET_ADDRESS, ...).
  void BusReset();
  // The bus carries nothing (no SOF, no token) for `idle`: USBIRQ.SUSP after
  // kSuspendAfterIdle; then the host's resume signalling (kResumeSignalling), at whose
  // start the 8051's RESUME interrupt is requested.
  void Suspend(SimTime idle);
  // The next control transfer meets `event` at `point` (one shot: that transfer takes it,
  // met or not). Only a transfer the firmware serves has stages to interrupt; BeforeSetup
  // applies to any transfer. A transfer that ends before its point never meets it.
  void InterruptNextTransfer(const HostInterruption& interruption) { interruption_ = interruption; }
  // Attached to a full-speed port (USBCS.HSM 0, a transaction per 1 ms frame) or, the
  // default, a high-speed one. Stays so across power cycles.
  void AttachAtFullSpeed(bool fullSpeed) { usb_.SetHighSpeed(!fullSpeed); }

  // SDA held low (a slave stuck mid-byte): every START the master tries is a bus error.
  // Survives holding the CPU; a power cycle ends it.
  void SetSdaStuckLow(bool stuck) { i2cMaster_.SetSdaStuckLow(stuck); }

  // I2C faults that pass. The master's byte number `byte` from now (0 = the next; address,
  // data and received bytes count) meets a bus error: BERR, the slaves see a STOP. Several
  // may be pending.
  void I2cBusErrorAtByte(std::uint32_t byte) { i2cMaster_.BusErrorAtByte(byte); }
  std::uint64_t I2cBytes() const { return i2cMaster_.BytesClocked(); }
  // A slave holds SDA low for `duration` after the host next releases the CPU (a slave
  // left mid-byte by the firmware before, letting go by itself); STARTs meanwhile end in
  // BERR.
  void HoldSdaAfterRelease(SimTime duration) { sdaHoldAfterRelease_ = duration; }
  // The I2C clock the board really makes when the firmware asks for 100 and 400 kHz;
  // nominal by default, kept across power cycles.
  void SetI2cClockKhz(double slowKhz, double fastKhz) {
    i2cMaster_.SetBitTimes(static_cast<SimTime>(1e9 / slowKhz), static_cast<SimTime>(1e9 / fastKhz));
  }

  // What the firmware did that the chip's documentation does not allow, since construction.
  const std::vector<Ep0Fault>& Ep0Faults() const { return usb_.Faults(); }
  // I2DAT reads after a read's STOP had gone out: each clocked in a byte nobody wanted.
  std::uint32_t I2cLateReads() const { return i2cMaster_.LateReads(); }

 private:
  class Led;
  usb::TransferResult Serve(const usb::SetupPacket& setup, std::span<std::uint8_t> data,
                            bool& servedByChip);
  usb::TransferResult ChipLoad(const usb::SetupPacket& setup, std::span<std::uint8_t> data);
  usb::TransferResult ChipStandard(const usb::SetupPacket& setup, std::span<std::uint8_t> data);
  usb::TransferResult FirmwareTransfer(const usb::SetupPacket& setup, std::span<std::uint8_t> data,
                                       SimTime deadline);
  void Stage();  // one USB transaction: a (micro)frame of the board's time
  SimTime Frame() const { return usb_.HighSpeed() ? kMicroframe : kFullSpeedFrame; }
  // Runs the board until `ready()` or the deadline; false on the deadline.
  template <typename Ready>
  bool WaitFor(Ready ready, SimTime deadline);
  BootReport Boot();

  Bus bus_;
  Cpu8051 cpu_;
  I2cBus i2c_;
  I2cMux mux_;
  std::array<std::array<Eeprom, kBanksPerChip>, kChips> eeproms_;
  I2cMaster i2cMaster_;
  Fx2Usb usb_;
  std::unique_ptr<Led> led_;

  UsbIdentity identity_;
  BootReport lastBoot_;
  SimTime powerUpAt_ = 0;
  std::vector<RequestRecord> log_;
  std::uint64_t requestCount_ = 0;
  std::optional<std::uint64_t> unplugAfter_;
  bool unplugged_ = false;
  std::uint32_t failNext_ = 0;
  std::uint8_t configuration_ = 0;
  std::optional<HostInterruption> interruption_;  // for the next transfer
  std::optional<HostInterruption> meeting_;       // for the one in progress
  SimTime sdaHoldAfterRelease_ = 0;
};

// Boards found on the emulated "bus": the N-th board added has path "emulated:N" unless
// given another number. Member N
// is the N-th board that is still plugged in (an unplugged board is not found, and those
// after it move up, as on a real bus). The boards must outlive the source and its ports.
class EmulatedBoardSource : public usb::UsbBoardSource {
 public:
  EmulatedBoardSource() = default;
  explicit EmulatedBoardSource(EmulatedBoard& board) { Add(board); }
  void Add(EmulatedBoard& board) { Add(board, boards_.size()); }
  // With the number its path carries: a source for one board of several, "emulated:N".
  void Add(EmulatedBoard& board, std::size_t number) { boards_.push_back({&board, number}); }
  DriverStatus OpenMember(std::uint16_t memberIndex, std::unique_ptr<usb::UsbControlPort>& port,
                          std::string& path) override;
  std::vector<BoardInfo> ListBoards() override;

 private:
  std::optional<BoardState> Found(std::size_t index) const;

  struct Entry {
    EmulatedBoard* board;
    std::size_t number;
  };
  std::vector<Entry> boards_;
};

}  // namespace vesk::sim::board
