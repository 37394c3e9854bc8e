#include "device/libusb/libusb_board_source.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "device/debug_output.h"

namespace vesk::usb {
namespace {

constexpr std::uint8_t kRequestFx2Load = 0xA0;
constexpr std::uint8_t kRequestEepromBlock = 0xC6;
constexpr std::uint32_t kEepromPageSize = 64;
constexpr int kBoardInterface = 0;
constexpr int kMaxPortChain = 7;  // USB allows at most seven tiers below the root

void ReportLibusbError(std::string_view call, std::string_view subject, int error) {
  std::string message(call);
  message += '(';
  message += subject;
  message += ") failed: ";
  message += libusb_error_name(error);
  DebugOutput(message);
}

}  // namespace

TransferStatus TransferStatusOfLibusbError(int libusbError) {
  switch (libusbError) {
    case LIBUSB_ERROR_PIPE:
      return TransferStatus::Stall;
    case LIBUSB_ERROR_TIMEOUT:
      return TransferStatus::Timeout;
    case LIBUSB_ERROR_NO_DEVICE:
      return TransferStatus::NoDevice;
    default:
      return TransferStatus::Other;
  }
}

DriverStatus OpenStatusOfLibusbError(const std::string& path, int libusbError) {
  switch (libusbError) {
    case LIBUSB_ERROR_ACCESS:
      return Failure(StatusKind::AccessDenied,
                     path + "; install the udev rule 60-vesk-update.rules and replug the board");
    case LIBUSB_ERROR_BUSY:
      return Failure(StatusKind::Busy, path + "; another program holds the board");
    case LIBUSB_ERROR_NO_DEVICE:
      return Failure(StatusKind::NoDevice, path + " was unplugged");
    default:
      return Failure(StatusKind::Other, path + ": " + libusb_error_name(libusbError));
  }
}

namespace {

bool IsBoard(const libusb_device_descriptor& descriptor) {
  return std::any_of(kBoardIdentities.begin(), kBoardIdentities.end(),
                     [&](const BoardIdentity& identity) {
                       return descriptor.idVendor == identity.vendorId &&
                              descriptor.idProduct == identity.productId;
                     });
}

struct PortChain {
  std::array<std::uint8_t, kMaxPortChain> ports{};
  std::size_t count = 0;
  std::span<const std::uint8_t> span() const { return {ports.data(), count}; }
};

PortChain PortsOf(libusb_device* device) {
  PortChain chain;
  const int portCount = libusb_get_port_numbers(device, chain.ports.data(), chain.ports.size());
  chain.count = portCount > 0 ? std::size_t(portCount) : 0;
  return chain;
}

std::string PathOf(libusb_device* device) {
  return UsbDevicePath(libusb_get_bus_number(device), PortsOf(device).span());
}

struct DeviceListDeleter {
  void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};

class LibusbControlPort : public UsbControlPort {
 public:
  LibusbControlPort(std::shared_ptr<libusb_context> context, libusb_device_handle* handle,
                    std::string path, const ControlTimeouts& timeouts)
      : context_(std::move(context)),
        handle_(handle),
        path_(std::move(path)),
        timeouts_(timeouts) {}

  ~LibusbControlPort() override {
    // Both fail harmlessly on a board that is gone; the kernel driver that was detached
    // is given the interface back by libusb.
    libusb_release_interface(handle_, kBoardInterface);
    libusb_close(handle_);
  }

  TransferResult ControlTransfer(const SetupPacket& setup, std::span<std::uint8_t> data) override {
    if (data.size() != setup.wLength) return {TransferStatus::Other, 0};
    if (gone_) return {TransferStatus::NoDevice, 0};
    const auto timeout = TimeoutFor(setup, timeouts_);
    const int result = libusb_control_transfer(
        handle_, setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex,
        data.empty() ? nullptr : data.data(), setup.wLength, unsigned(timeout.count()));
    if (result >= 0) return {TransferStatus::Ok, std::uint32_t(result)};

    char subject[96];
    std::snprintf(subject, sizeof subject,
                  "%s, request 0x%02X, value 0x%04X, index 0x%04X, length %u", path_.c_str(),
                  setup.bRequest, setup.wValue, setup.wIndex, unsigned(setup.wLength));
    ReportLibusbError("libusb_control_transfer", subject, result);
    const TransferStatus status = TransferStatusOfLibusbError(result);
    if (status == TransferStatus::NoDevice) gone_ = true;
    return {status, 0};
  }

 private:
  std::shared_ptr<libusb_context> context_;
  libusb_device_handle* handle_;
  std::string path_;
  ControlTimeouts timeouts_;
  bool gone_ = false;  // a board that was unplugged does not come back on this handle
};

}  // namespace

std::chrono::milliseconds TimeoutFor(const SetupPacket& setup, const ControlTimeouts& timeouts) {
  std::chrono::milliseconds limit = timeouts.otherRequest;
  if (setup.bRequest == kRequestFx2Load) {
    limit = timeouts.firmwareLoad;
  } else if (setup.bRequest == kRequestEepromBlock) {
    const std::uint32_t pages =
        (std::uint32_t(setup.wLength) + kEepromPageSize - 1) / kEepromPageSize;
    limit = timeouts.eepromBlockBase + timeouts.eepromPerPage * pages;
  }
  return std::max(limit, std::chrono::milliseconds(1));
}

namespace {

std::string PortText(std::string text, std::string_view first,
                     std::span<const std::uint8_t> portChain) {
  std::string_view separator = first;
  for (std::uint8_t port : portChain) {
    text += separator;
    text += std::to_string(port);
    separator = ".";
  }
  return text;
}

}  // namespace

std::string UsbDevicePath(std::uint8_t busNumber, std::span<const std::uint8_t> portChain) {
  return PortText("usb:" + std::to_string(busNumber), "-", portChain);
}

std::string UsbDeviceLocation(std::uint8_t busNumber, std::span<const std::uint8_t> portChain) {
  return PortText("bus " + std::to_string(busNumber), " port ", portChain);
}

LibusbBoardSource::LibusbBoardSource(ControlTimeouts timeouts) : timeouts_(timeouts) {}

LibusbBoardSource::~LibusbBoardSource() = default;

DriverStatus LibusbBoardSource::EnsureContext() {
  if (context_) return {};
  libusb_context* context = nullptr;
  if (const int error = libusb_init(&context); error != 0) {
    ReportLibusbError("libusb_init", "", error);
    return Failure(StatusKind::Other, std::string("libusb_init: ") + libusb_error_name(error));
  }
  context_ = std::shared_ptr<libusb_context>(context, libusb_exit);
  return {};
}

std::vector<BoardInfo> LibusbBoardSource::ListBoards() {
  std::vector<BoardInfo> boards;
  if (!EnsureContext().Ok()) return boards;
  libusb_device** rawList = nullptr;
  const ssize_t count = libusb_get_device_list(context_.get(), &rawList);
  if (count < 0) {
    ReportLibusbError("libusb_get_device_list", "", int(count));
    return boards;
  }
  const std::unique_ptr<libusb_device*, DeviceListDeleter> list(rawList);
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device* device = list.get()[i];
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0) continue;
    if (!IsBoard(descriptor)) continue;
    const std::optional<BoardState> state =
        BoardStateOf(descriptor.idVendor, descriptor.idProduct, descriptor.bcdDevice);
    const PortChain ports = PortsOf(device);
    const std::uint8_t bus = libusb_get_bus_number(device);
    boards.push_back({UsbDevicePath(bus, ports.span()), descriptor.idVendor, descriptor.idProduct,
                      state.value_or(BoardState::BareFx2), UsbDeviceLocation(bus, ports.span())});
  }
  return boards;
}

bool LibusbBoardSource::WaitForBoardChange(std::chrono::milliseconds limit) {
  if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) || !EnsureContext().Ok()) return false;
  bool changed = false;
  const auto callback = [](libusb_context*, libusb_device*, libusb_hotplug_event,
                           void* data) -> int {
    *static_cast<bool*>(data) = true;
    return 0;  // stay registered until deregistered below
  };
  libusb_hotplug_callback_handle registration = 0;
  const int error = libusb_hotplug_register_callback(
      context_.get(),
      static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                        LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
      static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
      LIBUSB_HOTPLUG_MATCH_ANY, callback, &changed, &registration);
  if (error != LIBUSB_SUCCESS) {
    ReportLibusbError("libusb_hotplug_register_callback", "", error);
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool failed = false;
  while (!changed && !failed) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    timeval wait{};
    wait.tv_sec = static_cast<decltype(wait.tv_sec)>(left.count() / 1000000);
    wait.tv_usec = static_cast<decltype(wait.tv_usec)>(left.count() % 1000000);
    failed = libusb_handle_events_timeout_completed(context_.get(), &wait, nullptr) != 0;
  }
  libusb_hotplug_deregister_callback(context_.get(), registration);
  // Where no device manager runs (many containers), libusb hears of no arrival and keeps
  // the list it enumerated at the start: after a wait that heard nothing, the next listing
  // enumerates afresh in a new context. Ports handed out keep the old one alive.
  if (!changed) context_.reset();
  return !failed;  // on failure the caller polls
}

DriverStatus LibusbBoardSource::OpenMember(std::uint16_t memberIndex,
                                        std::unique_ptr<UsbControlPort>& port, std::string& path) {
  if (DriverStatus status = EnsureContext(); !status.Ok()) return status;

  libusb_device** rawList = nullptr;
  const ssize_t count = libusb_get_device_list(context_.get(), &rawList);
  if (count < 0) {
    ReportLibusbError("libusb_get_device_list", "", int(count));
    return Failure(StatusKind::Other,
                   std::string("libusb_get_device_list: ") + libusb_error_name(int(count)));
  }
  const std::unique_ptr<libusb_device*, DeviceListDeleter> list(rawList);

  libusb_device* chosen = nullptr;
  std::uint32_t boardsSeen = 0;
  for (ssize_t i = 0; i < count && chosen == nullptr; ++i) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(list.get()[i], &descriptor) != 0) continue;
    if (!IsBoard(descriptor)) continue;
    if (boardsSeen++ == memberIndex) chosen = list.get()[i];
  }
  if (chosen == nullptr) return Failure(StatusKind::NoDevice, std::string(kNoBoardNote));

  std::string chosenPath = PathOf(chosen);
  libusb_device_handle* handle = nullptr;
  if (const int error = libusb_open(chosen, &handle); error != 0) {
    ReportLibusbError("libusb_open", chosenPath, error);
    return OpenStatusOfLibusbError(chosenPath, error);
  }
  // Not every platform can detach; where it cannot, the claim below tells.
  libusb_set_auto_detach_kernel_driver(handle, 1);
  if (const int error = libusb_claim_interface(handle, kBoardInterface); error != 0) {
    ReportLibusbError("libusb_claim_interface", chosenPath, error);
    libusb_close(handle);
    return OpenStatusOfLibusbError(chosenPath, error);
  }
  path = chosenPath;
  port = std::make_unique<LibusbControlPort>(context_, handle, std::move(chosenPath), timeouts_);
  return {};
}

}  // namespace vesk::usb
