#pragma once
// Real FX2 boards on Linux (and other libusb platforms): finding them by their USB
// identity, opening them through libusb and serving control transfers on them.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "device/identities.h"
#include "device/usb/usb_control_port.h"

struct libusb_context;

namespace vesk::usb {

// A board answers to either identity: the FX2's own before its EEPROM is programmed, the
// camera's once the ROM header is in place.
using vesk::BoardIdentity;
using vesk::kBareFx2Identity;
inline constexpr BoardIdentity kProgrammedIdentity = kCameraIdentity;
inline constexpr std::array<BoardIdentity, 2> kBoardIdentities{kBareFx2Identity,
                                                               kProgrammedIdentity};

// How long one control transfer may take before it is abandoned and reported as a
// timeout. An EEPROM block write (0xC6) returns its status stage only after the firmware
// has written every page of it, so its limit grows with the block.
struct ControlTimeouts {
  std::chrono::milliseconds firmwareLoad{1000};  // 0xA0: one RAM record or CPUCS
  std::chrono::milliseconds eepromBlockBase{1000};
  std::chrono::milliseconds eepromPerPage{25};  // per started 64-byte page of a 0xC6 block
  std::chrono::milliseconds otherRequest{2000};
};

// The time limit for one request: always at least 1 ms.
std::chrono::milliseconds TimeoutFor(const SetupPacket& setup, const ControlTimeouts& timeouts);

// "usb:BUS-PORT.PORT..." from libusb's bus number and port chain (outermost port first);
// "usb:BUS" for a device without ports (a root hub).
std::string UsbDevicePath(std::uint8_t busNumber, std::span<const std::uint8_t> portChain);
// The same place for people: "bus BUS port PORT.PORT...".
std::string UsbDeviceLocation(std::uint8_t busNumber, std::span<const std::uint8_t> portChain);

// What a control transfer that libusb failed with `libusbError` came to: a stall
// (LIBUSB_ERROR_PIPE), a timeout, a board that has gone, or another failure.
TransferStatus TransferStatusOfLibusbError(int libusbError);
// Why the board at `path` could not be opened or claimed, for the operator: access denied
// (with the udev rule to install), busy (another program holds it), unplugged, or
// libusb's error name.
DriverStatus OpenStatusOfLibusbError(const std::string& path, int libusbError);

// Opens boards through one libusb context, created at the first OpenMember. Ports it
// hands out keep that context alive, so they may outlive the source.
// Every libusb failure is reported once, here, with libusb's error name, on the debugger
// output; callers see only the statuses below.
class LibusbBoardSource : public UsbBoardSource {
 public:
  explicit LibusbBoardSource(ControlTimeouts timeouts = {});
  ~LibusbBoardSource() override;

  // Member N is the N-th device in libusb's enumeration order whose identity is one of
  // kBoardIdentities. Detaches a kernel driver bound to interface 0 (usbtest grabs a bare
  // FX2) and claims the interface until the port is destroyed. NoDevice (kNoBoardNote)
  // when there is no such member; OpenStatusOfLibusbError when it cannot be opened or
  // claimed; Other with libusb's error name when libusb cannot start or enumerate.
  DriverStatus OpenMember(std::uint16_t memberIndex, std::unique_ptr<UsbControlPort>& port,
                          std::string& path) override;

  // From the descriptors the system keeps: no board is opened. Empty when libusb cannot
  // be initialised or enumerate.
  std::vector<BoardInfo> ListBoards() override;

  // Through libusb's hotplug events where the platform has them: returns when a device
  // arrives or leaves, or at `limit`. False without hotplug support.
  bool WaitForBoardChange(std::chrono::milliseconds limit) override;

 private:
  DriverStatus EnsureContext();

  ControlTimeouts timeouts_;
  std::shared_ptr<libusb_context> context_;
};

}  // namespace vesk::usb
