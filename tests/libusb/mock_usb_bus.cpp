#include "tests/libusb/mock_usb_bus.h"

#include <errno.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

namespace vesk::testing {
namespace {

constexpr std::string_view kPreloadLibrary = "libumockdev-preload.so.0";
constexpr std::size_t kSetupSize = 8;

struct DataRef {
  UMockdevIoctlData* data;
  explicit DataRef(UMockdevIoctlData* d) : data(d) {}
  ~DataRef() {
    if (data != nullptr) g_object_unref(data);
  }
  DataRef(const DataRef&) = delete;
  DataRef& operator=(const DataRef&) = delete;
};

std::string Hex16(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02x%02x", value & 0xFF, value >> 8);
  return text;
}

// Device descriptor and one configuration, as the kernel's "descriptors" attribute holds
// them. A board has one vendor-class interface without endpoints; a hub the usual one.
std::string DescriptorsHex(usb::BoardIdentity identity, bool hub) {
  std::string hex = "12010002";
  hex += hub ? "090001" : "ffffff";
  hex += "40" + Hex16(identity.vendorId) + Hex16(identity.productId) + "0001" + "000000" + "01";
  if (hub)
    hex +=
        "0902190001010080fa"
        "090400000109000000"
        "0705810301000c";
  else
    hex +=
        "0902120001010080fa"
        "0904000000ff000000";
  return hex;
}

std::string FormatNumber(const char* format, int value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

void RunUnderUmockdev(int /*argc*/, char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload != nullptr &&
      std::string_view(preload).find("libumockdev-preload") != std::string_view::npos)
    return;
  if (std::getenv("VESK_UMOCKDEV_REEXEC") != nullptr) {
    std::fprintf(stderr, "umockdev's preload library did not load\n");
    return;
  }
  std::string libraries(kPreloadLibrary);
  if (preload != nullptr && *preload != '\0') libraries += std::string(":") + preload;
  setenv("LD_PRELOAD", libraries.c_str(), 1);
  setenv("VESK_UMOCKDEV_REEXEC", "1", 1);
  // The sanitizer runtime wants to be first; the preload library only wraps libc calls.
  std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
  setenv("ASAN_OPTIONS",
         (asan.empty() ? "" : asan + ":").append("verify_asan_link_order=0").c_str(), 1);
  execv("/proc/self/exe", argv);
  std::perror("re-executing under umockdev");
}

MockBoard::MockBoard(std::string sysName, std::string devNode, usb::UsbControlPort& target,
                     std::string kernelDriver)
    : sysName_(std::move(sysName)),
      devNode_(std::move(devNode)),
      target_(target),
      handler_(umockdev_ioctl_base_new()),
      kernelDriver_(std::move(kernelDriver)) {
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&MockBoard::HandleIoctl), this);
}

MockBoard::~MockBoard() {
  for (PendingUrb& pending : pending_) g_object_unref(pending.urb);
  g_object_unref(handler_);
}

void MockBoard::UnplugAfter(int transfers) {
  std::lock_guard lock(mutex_);
  transfersBeforeUnplug_ = transfers;
}

void MockBoard::NeverAnswer(std::uint8_t request) {
  std::lock_guard lock(mutex_);
  neverAnswered_ = request;
}

std::vector<std::string> MockBoard::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::string MockBoard::KernelDriver() const {
  std::lock_guard lock(mutex_);
  return kernelDriver_;
}

int MockBoard::CompletedTransfers() const {
  std::lock_guard lock(mutex_);
  return completed_;
}

int MockBoard::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

int MockBoard::HandleIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                           MockBoard* self) {
  return self->Serve(client) ? TRUE : FALSE;
}

bool MockBoard::Serve(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
  std::lock_guard lock(mutex_);
  ++requests_;

  const bool reaping = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY ||
                       request == USBDEVFS_DISCARDURB;
  if (unplugged_ && !reaping) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return true;
  }

  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      DataRef caps(umockdev_ioctl_data_resolve(argument, 0, sizeof(std::uint32_t), nullptr));
      const std::uint32_t value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                  USBDEVFS_CAP_BULK_CONTINUATION;
      std::memcpy(caps.data->data, &value, sizeof value);
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
      DataRef interface(umockdev_ioctl_data_resolve(argument, 0, sizeof(unsigned), nullptr));
      unsigned number = 0;
      std::memcpy(&number, interface.data->data, sizeof number);
      const bool claim = request == USBDEVFS_CLAIMINTERFACE;
      if (claim && !kernelDriver_.empty() && kernelDriver_ != "usbfs") {
        umockdev_ioctl_client_complete(client, -1, EBUSY);
        return true;
      }
      events_.push_back((claim ? "claim " : "release ") + std::to_string(number));
      kernelDriver_ = claim ? "usbfs" : "";
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
      DataRef claim(
          umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_disconnect_claim), nullptr));
      usbdevfs_disconnect_claim request{};
      std::memcpy(&request, claim.data->data, sizeof request);
      request.driver[USBDEVFS_MAXDRIVERNAME] = '\0';
      const bool keep = (request.flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) != 0
                            ? kernelDriver_ == request.driver
                            : false;
      if (!kernelDriver_.empty() && kernelDriver_ != "usbfs" && !keep) {
        events_.push_back("detach " + kernelDriver_);
        detachedDriver_ = kernelDriver_;
      }
      events_.push_back("claim " + std::to_string(request.interface));
      kernelDriver_ = "usbfs";
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_GETDRIVER: {
      DataRef query(umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_getdriver), nullptr));
      if (kernelDriver_.empty()) {
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return true;
      }
      auto* answer = reinterpret_cast<usbdevfs_getdriver*>(query.data->data);
      std::snprintf(answer->driver, sizeof answer->driver, "%s", kernelDriver_.c_str());
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_IOCTL: {
      DataRef command(umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_ioctl), nullptr));
      usbdevfs_ioctl call{};
      std::memcpy(&call, command.data->data, sizeof call);
      if (call.ioctl_code == int(USBDEVFS_CONNECT)) {
        if (!detachedDriver_.empty() && kernelDriver_.empty()) {
          events_.push_back("attach " + detachedDriver_);
          kernelDriver_ = std::exchange(detachedDriver_, "");
        }
        umockdev_ioctl_client_complete(client, 0, 0);
      } else if (call.ioctl_code == int(USBDEVFS_DISCONNECT)) {
        if (!kernelDriver_.empty() && kernelDriver_ != "usbfs") {
          events_.push_back("detach " + kernelDriver_);
          detachedDriver_ = std::exchange(kernelDriver_, "");
        }
        umockdev_ioctl_client_complete(client, 0, 0);
      } else {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
      }
      return true;
    }
    case USBDEVFS_SUBMITURB:
      return SubmitUrb(client, argument);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      return ReapUrb(client, argument);
    case USBDEVFS_DISCARDURB:
      return DiscardUrb(client, argument);
    default:
      std::fprintf(stderr, "mock usb bus: %s: unexpected usbfs request 0x%lx\n", devNode_.c_str(),
                   request);
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
      return true;
  }
}

bool MockBoard::SubmitUrb(UMockdevIoctlClient* client, UMockdevIoctlData* argument) {
  UMockdevIoctlData* urbData =
      umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_urb), nullptr);
  auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
  if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < int(kSetupSize)) {
    g_object_unref(urbData);
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return true;
  }
  DataRef buffer(umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                             std::size_t(urb->buffer_length), nullptr));
  std::uint8_t* bytes = buffer.data->data;
  usb::SetupPacket setup{bytes[0], bytes[1], std::uint16_t(bytes[2] | bytes[3] << 8),
                         std::uint16_t(bytes[4] | bytes[5] << 8),
                         std::uint16_t(bytes[6] | bytes[7] << 8)};
  if (setup.wLength > urb->buffer_length - int(kSetupSize)) {
    g_object_unref(urbData);
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return true;
  }

  bool answered = true;
  urb->actual_length = 0;
  if (transfersBeforeUnplug_ == 0) {
    unplugged_ = true;
    urb->status = -ESHUTDOWN;
  } else if (neverAnswered_ == setup.bRequest) {
    answered = false;
  } else {
    const usb::TransferResult result =
        target_.ControlTransfer(setup, std::span(bytes + kSetupSize, setup.wLength));
    switch (result.status) {
      case usb::TransferStatus::Ok:
        urb->status = 0;
        urb->actual_length = int(result.actualLength);
        ++completed_;
        if (transfersBeforeUnplug_ > 0) --transfersBeforeUnplug_;
        break;
      case usb::TransferStatus::Stall:
        urb->status = -EPIPE;
        break;
      case usb::TransferStatus::Timeout:
        answered = false;
        break;
      case usb::TransferStatus::NoDevice:
        unplugged_ = true;
        urb->status = -ESHUTDOWN;
        break;
      case usb::TransferStatus::Error:
        urb->status = -EPROTO;
        break;
    }
  }
  pending_.push_back({urbData, answered});
  umockdev_ioctl_client_complete(client, 0, 0);
  return true;
}

bool MockBoard::ReapUrb(UMockdevIoctlClient* client, UMockdevIoctlData* argument) {
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    if (!it->answered) continue;
    UMockdevIoctlData* urbData = it->urb;
    pending_.erase(it);
    DataRef pointer(umockdev_ioctl_data_resolve(argument, 0, sizeof(void*), nullptr));
    umockdev_ioctl_data_set_ptr(pointer.data, 0, urbData);
    g_object_unref(urbData);  // the reap's argument holds it until the reply is flushed
    umockdev_ioctl_client_complete(client, 0, 0);
    return true;
  }
  umockdev_ioctl_client_complete(client, -1, unplugged_ ? ENODEV : EAGAIN);
  return true;
}

bool MockBoard::DiscardUrb(UMockdevIoctlClient* client, UMockdevIoctlData* argument) {
  // The argument is the client's URB address itself, not a pointer to it.
  gulong address = 0;
  std::memcpy(&address, argument->data, sizeof address);
  for (PendingUrb& pending : pending_) {
    if (pending.urb->client_addr != address || pending.answered) continue;
    reinterpret_cast<usbdevfs_urb*>(pending.urb->data)->status = -ENOENT;
    pending.answered = true;
    umockdev_ioctl_client_complete(client, 0, 0);
    return true;
  }
  umockdev_ioctl_client_complete(client, -1, EINVAL);
  return true;
}

MockUsbBus::MockUsbBus() : testbed_(umockdev_testbed_new()) {}

MockUsbBus::~MockUsbBus() {
  g_object_unref(testbed_);
}

void MockUsbBus::EnsureParents(const std::string& sysName) {
  const int bus = std::atoi(sysName.c_str());
  const std::string root = "usb" + std::to_string(bus);
  if (std::find(devices_.begin(), devices_.end(), root) == devices_.end())
    AddDevice(root, DescriptorsHex({0x1d6b, 0x0002}, true), false);
  const std::size_t dot = sysName.rfind('.');
  if (dot == std::string::npos) return;
  const std::string parent = sysName.substr(0, dot);
  if (std::find(devices_.begin(), devices_.end(), parent) == devices_.end()) {
    EnsureParents(parent);
    AddDevice(parent, DescriptorsHex({0x05e3, 0x0608}, true), false);
  }
}

std::string MockUsbBus::AddDevice(const std::string& sysName, const std::string& descriptorsHex,
                                  bool withNode) {
  const bool rootHub = sysName.rfind("usb", 0) == 0;
  const int bus = std::atoi(sysName.c_str() + (rootHub ? 3 : 0));
  const int devnum = rootHub ? 1 : nextDevnum_.at(bus)++;

  // sysfs nests a device under its parent: usb1/1-3/1-3.4
  std::string devicePath = "/devices/pci0000:00/0000:00:14.0";
  if (!rootHub) {
    devicePath += "/usb" + std::to_string(bus);
    const std::size_t dash = sysName.find('-');
    for (std::size_t at = sysName.find('.', dash); at != std::string::npos;
         at = sysName.find('.', at + 1))
      devicePath += "/" + sysName.substr(0, at);
  }
  devicePath += "/" + sysName;

  const std::string node =
      "bus/usb/" + FormatNumber("%03d", bus) + "/" + FormatNumber("%03d", devnum);
  std::string record = "P: " + devicePath + "\n";
  if (withNode) record += "N: " + node + "\n";
  record += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
  record += "E: BUSNUM=" + FormatNumber("%03d", bus) + "\n";
  record += "E: DEVNUM=" + FormatNumber("%03d", devnum) + "\n";
  record += "E: DEVNAME=/dev/" + node + "\n";
  record += "A: busnum=" + std::to_string(bus) + "\\n\n";
  record += "A: devnum=" + std::to_string(devnum) + "\\n\n";
  record += "A: bConfigurationValue=1\\n\n";
  record += "A: speed=480\\n\n";
  record += "H: descriptors=" + descriptorsHex + "\n";
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
    std::fprintf(stderr, "mock usb bus: cannot add %s: %s\n", sysName.c_str(),
                 error ? error->message : "?");
    g_clear_error(&error);
  }
  devices_.push_back(sysName);
  return "/dev/" + node;
}

MockBoard& MockUsbBus::AddBoard(const std::string& sysName, usb::BoardIdentity identity,
                                usb::UsbControlPort& target, const std::string& kernelDriver) {
  EnsureParents(sysName);
  const int bus = std::atoi(sysName.c_str());
  const std::string devNode =
      "/dev/bus/usb/" + FormatNumber("%03d", bus) + "/" + FormatNumber("%03d", nextDevnum_.at(bus));
  auto board = std::make_unique<MockBoard>(sysName, devNode, target, kernelDriver);
  // The handler must be in place before the device node appears.
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed_, devNode.c_str(), board->Handler(), &error)) {
    std::fprintf(stderr, "mock usb bus: cannot attach %s: %s\n", devNode.c_str(),
                 error ? error->message : "?");
    g_clear_error(&error);
  }
  AddDevice(sysName, DescriptorsHex(identity, false), true);
  boards_.push_back(std::move(board));
  return *boards_.back();
}

void MockUsbBus::AddOtherDevice(const std::string& sysName, usb::BoardIdentity identity) {
  EnsureParents(sysName);
  AddDevice(sysName, DescriptorsHex(identity, false), false);
}

}  // namespace vesk::testing
