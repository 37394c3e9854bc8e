#pragma once
// A USB bus for tests: umockdev provides the sysfs entries and usbfs nodes of devices, and
// the control URBs that libusb submits to a node are passed on here to a UsbControlPort
// (the emulated board, or a scripted one). The tests run under umockdev-wrapper.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/libusb/libusb_board_source.h"
#include "device/usb/usb_control_port.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace vesk::testing {

// One device's usbfs node. Requests arrive on umockdev's thread; the accessors lock.
class MockBoard {
 public:
  MockBoard(usb::UsbControlPort* target, std::string kernelDriver);
  ~MockBoard();
  MockBoard(const MockBoard&) = delete;
  MockBoard& operator=(const MockBoard&) = delete;

  // A target that answers NoDevice pulls the board out: that transfer ends as on a
  // disconnect (-ESHUTDOWN) and every later request fails with ENODEV. A Timeout answer
  // is never answered at all, until libusb discards the URB.
  // What happened to interface 0, in order: "detach usbtest", "claim", "release", ...
  std::vector<std::string> Events() const;
  // Every usbfs request of any kind: non-zero once anyone opened the node.
  int Requests() const;

 private:
  friend class MockUsbBus;
  static int Serve(UMockdevIoctlBase*, UMockdevIoctlClient* client, MockBoard* self);
  void SubmitUrb(UMockdevIoctlClient* client);

  struct PendingUrb {
    void* urb;  // the URB's UMockdevIoctlData, referenced until it is reaped
    bool answered;
  };

  usb::UsbControlPort* target_;
  UMockdevIoctlBase* handler_;
  mutable std::mutex mutex_;
  std::string kernelDriver_, detachedDriver_;
  std::vector<std::string> events_;
  std::vector<PendingUrb> pending_;
  int requests_ = 0;
  bool unplugged_ = false;
};

class MockUsbBus {
 public:
  MockUsbBus();
  ~MockUsbBus();
  MockUsbBus(const MockUsbBus&) = delete;
  MockUsbBus& operator=(const MockUsbBus&) = delete;

  // A device at `sysName` ("1-2": bus 1, port 2; "1-3.4": port 4 of a hub on port 3; the
  // hub is added when missing) whose control transfers go to `target` (none: every one
  // stalls). `kernelDriver` is bound to interface 0 until libusb detaches it.
  MockBoard& Add(const std::string& sysName, usb::BoardIdentity identity,
                 usb::UsbControlPort* target = nullptr, const std::string& kernelDriver = "");
  // Pulls the device at `sysName` out, as a power cycle does; Add puts one back.
  void Remove(const std::string& sysName);

 private:
  UMockdevTestbed* testbed_;
  std::vector<std::string> added_;
  int nextDevnum_ = 10;  // one sequence for every bus, never equal to a bus number
  std::vector<std::unique_ptr<MockBoard>> boards_;
};

}  // namespace vesk::testing
