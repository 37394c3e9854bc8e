#pragma once
// A USB device's control endpoint as the user-space camera driver uses it. Two kinds: a
// real FX2 board through libusb, and the emulated board.

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/board_info.h"
#include "device/driver_status.h"

namespace vesk::usb {

struct SetupPacket {
  std::uint8_t bmRequestType;  // bit 7: 1 = device to host
  std::uint8_t bRequest;
  std::uint16_t wValue;
  std::uint16_t wIndex;
  std::uint16_t wLength;
};

// How a control transfer ended, in the kinds every back end reports (Other: any failure
// that is not a stall, a timeout or a board that has gone).
using TransferStatus = StatusKind;

// What an open that found no board says it looked for.
inline constexpr std::string_view kNoBoardNote = "looked for 04B4:8613 and 125C:0010";

struct TransferResult {
  TransferStatus status;
  std::uint32_t actualLength;  // bytes moved in the data stage
};

// One opened board.
class UsbControlPort {
 public:
  virtual ~UsbControlPort() = default;
  // One control transfer. `data` is wLength bytes: sent for host-to-device, filled for
  // device-to-host. Blocks until the status stage ends, the device stalls, or the
  // transfer times out; a board unplugged during the call fails it at once.
  virtual TransferResult ControlTransfer(const SetupPacket& setup, std::span<std::uint8_t> data) = 0;
};

// Finds and opens boards: member N is the N-th attached board.
class UsbBoardSource {
 public:
  virtual ~UsbBoardSource() = default;
  // Opens the board with that index into `port`. Ok with `path` naming it
  // ("usb:BUS-PORT.PORT" on libusb, "emulated:N" for the emulated board); otherwise `port`
  // and `path` are left as they were and the status says why: NoDevice, kNoBoardNote when
  // there is no such board.
  virtual DriverStatus OpenMember(std::uint16_t memberIndex, std::unique_ptr<UsbControlPort>& port,
                                  std::string& path) = 0;
  // Every attached board in member order, without opening any.
  virtual std::vector<BoardInfo> ListBoards() { return {}; }
  // As CameraDriver::WaitForBoardChange; false when the source cannot be told of
  // arrivals and the caller should poll instead.
  virtual bool WaitForBoardChange(std::chrono::milliseconds /*limit*/) { return false; }
};

}  // namespace vesk::usb
