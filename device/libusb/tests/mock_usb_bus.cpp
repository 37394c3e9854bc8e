#include "device/libusb/tests/mock_usb_bus.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace vesk::testing {
namespace {

// A resolved piece of the client's memory, released at the end of the scope.
using Data = std::unique_ptr<UMockdevIoctlData, decltype(&g_object_unref)>;
Data Resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length) {
  return {umockdev_ioctl_data_resolve(data, offset, length, nullptr), &g_object_unref};
}

}  // namespace

MockBoard::MockBoard(usb::UsbControlPort* target, std::string kernelDriver)
    : target_(target), handler_(umockdev_ioctl_base_new()), kernelDriver_(std::move(kernelDriver)) {
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&MockBoard::Serve), this);
}

MockBoard::~MockBoard() {
  for (PendingUrb& pending : pending_) g_object_unref(pending.urb);
  g_object_unref(handler_);
}

std::vector<std::string> MockBoard::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

int MockBoard::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

// The usbfs requests libusb makes of a board it claims with automatic kernel driver
// detach; anything else is ENOTTY, as from an older kernel.
int MockBoard::Serve(UMockdevIoctlBase*, UMockdevIoctlClient* client, MockBoard* self) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
  std::lock_guard lock(self->mutex_);
  ++self->requests_;
  const auto complete = [client](long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
  };
  const bool reaping = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY ||
                       request == USBDEVFS_DISCARDURB;
  if (self->unplugged_ && !reaping) return complete(-1, ENODEV);

  switch (request) {
    case USBDEVFS_DISCONNECT_CLAIM:  // libusb asks to keep only its own "usbfs" bound
      if (!self->kernelDriver_.empty()) {
        self->events_.push_back("detach " + self->kernelDriver_);
        self->detachedDriver_ = std::exchange(self->kernelDriver_, "");
      }
      self->events_.push_back("claim");
      return complete(0, 0);
    case USBDEVFS_RELEASEINTERFACE:
      self->events_.push_back("release");
      return complete(0, 0);
    case USBDEVFS_IOCTL: {
      const Data call = Resolve(argument, 0, sizeof(usbdevfs_ioctl));
      if (reinterpret_cast<usbdevfs_ioctl*>(call->data)->ioctl_code != int(USBDEVFS_CONNECT))
        return complete(-1, ENOTTY);
      if (!self->detachedDriver_.empty()) {
        self->events_.push_back("attach " + self->detachedDriver_);
        self->kernelDriver_ = std::exchange(self->detachedDriver_, "");
      }
      return complete(0, 0);
    }
    case USBDEVFS_SUBMITURB:
      self->SubmitUrb(client);
      return TRUE;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      auto& pending = self->pending_;
      const auto done = std::find_if(pending.begin(), pending.end(),
                                     [](const PendingUrb& urb) { return urb.answered; });
      if (done == pending.end()) return complete(-1, self->unplugged_ ? ENODEV : EAGAIN);
      auto* urb = static_cast<UMockdevIoctlData*>(done->urb);
      pending.erase(done);
      umockdev_ioctl_data_set_ptr(Resolve(argument, 0, sizeof(void*)).get(), 0, urb);
      g_object_unref(urb);  // the reap's argument holds it until the reply is sent
      return complete(0, 0);
    }
    case USBDEVFS_DISCARDURB:  // the argument is the URB's address in the client
      for (PendingUrb& pending : self->pending_) {
        auto* urb = static_cast<UMockdevIoctlData*>(pending.urb);
        if (pending.answered || std::memcmp(&urb->client_addr, argument->data, sizeof(gulong)))
          continue;
        reinterpret_cast<usbdevfs_urb*>(urb->data)->status = -ENOENT;
        pending.answered = true;
        return complete(0, 0);
      }
      return complete(-1, EINVAL);
    default:
      return complete(-1, ENOTTY);
  }
}

void MockBoard::SubmitUrb(UMockdevIoctlClient* client) {
  UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(
      umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_urb), nullptr);
  auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
  const Data buffer = Resolve(urbData, offsetof(usbdevfs_urb, buffer), urb->buffer_length);
  std::uint8_t* bytes = buffer->data;  // the setup packet, then the data stage
  const usb::SetupPacket setup{bytes[0], bytes[1], std::uint16_t(bytes[2] | bytes[3] << 8),
                               std::uint16_t(bytes[4] | bytes[5] << 8),
                               std::uint16_t(bytes[6] | bytes[7] << 8)};
  const usb::TransferResult result =
      target_ ? target_->ControlTransfer(setup, std::span(bytes + 8, setup.wLength))
              : usb::TransferResult{usb::TransferStatus::Stall, 0};
  // How usbfs ends a URB for each result: a stall, a disconnect, a protocol error.
  using enum StatusKind;  // usb::TransferStatus (clang 14 takes no alias here)
  const auto status = result.status;
  urb->status = status == Stall                      ? -EPIPE
                : status == NoDevice                 ? -ESHUTDOWN
                : status == Ok || status == Timeout ? 0
                                                     : -EPROTO;
  urb->actual_length = status == Ok ? int(result.actualLength) : 0;
  unplugged_ = unplugged_ || status == NoDevice;
  const bool answered = status != Timeout;  // until libusb discards it
  pending_.push_back({urbData, answered});
  umockdev_ioctl_client_complete(client, 0, 0);
}

MockUsbBus::MockUsbBus() : testbed_(umockdev_testbed_new()) {
  EXPECT_TRUE(umockdev_in_mock_environment()) << "run the libusb tests under umockdev-wrapper";
}

MockUsbBus::~MockUsbBus() {
  g_object_unref(testbed_);
}

MockBoard& MockUsbBus::Add(const std::string& sysName, usb::BoardIdentity identity,
                           usb::UsbControlPort* target, const std::string& kernelDriver) {
  const std::size_t dot = sysName.rfind('.');
  const std::string hub = sysName.substr(0, dot);
  if (dot != std::string::npos && std::count(added_.begin(), added_.end(), hub) == 0)
    Add(hub, {0x05E3, 0x0608});
  added_.push_back(sysName);

  const int bus = std::stoi(sysName);
  const int devnum = nextDevnum_++;
  char node[32];
  std::snprintf(node, sizeof node, "bus/usb/%03d/%03d", bus, devnum);
  boards_.push_back(std::make_unique<MockBoard>(target, kernelDriver));
  // The handler must be in place before the node appears.
  umockdev_testbed_attach_ioctl(testbed_, (std::string("/dev/") + node).c_str(),
                                boards_.back()->handler_, nullptr);
  // The kernel's "descriptors": the device, and one configuration with one interface.
  char record[512];
  std::snprintf(record, sizeof record,
                "P: /devices/%s\nN: %s\nE: DEVNAME=/dev/%s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
                "A: busnum=%d\\n\nA: devnum=%d\\n\nA: bConfigurationValue=1\\n\n"
                "H: descriptors=12010002ffffff40%02x%02x%02x%02x000100000001"
                "0902120001010080fa0904000000ff000000\n",
                sysName.c_str(), node, node, bus, devnum, identity.vendorId & 0xFF,
                identity.vendorId >> 8, identity.productId & 0xFF, identity.productId >> 8);
  EXPECT_TRUE(umockdev_testbed_add_from_string(testbed_, record, nullptr)) << record;
  return *boards_.back();
}

void MockUsbBus::Remove(const std::string& sysName) {
  umockdev_testbed_remove_device(testbed_, ("/sys/devices/" + sysName).c_str());
  added_.erase(std::remove(added_.begin(), added_.end(), sysName), added_.end());
}

}  // namespace vesk::testing
