#pragma once
// A USB bus for tests: umockdev provides the sysfs entries and usbfs device nodes of
// boards, and the usbfs requests that libusb sends to a node are served here by passing
// each control URB on to a UsbControlPort (the emulated board, or a scripted one).
// The process must run with umockdev's preload library; RunUnderUmockdev arranges that.

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
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace vesk::testing {

// Re-executes the program with umockdev's preload library when it is not loaded yet.
// Returns only when it is (or when the re-exec failed, with a message on stderr).
void RunUnderUmockdev(int argc, char** argv);

// One board on the bus. Its usbfs requests arrive on umockdev's thread; the accessors
// lock, so tests may read them from theirs.
class MockBoard {
 public:
  MockBoard(std::string sysName, std::string devNode, usb::UsbControlPort& target,
            std::string kernelDriver);
  ~MockBoard();
  MockBoard(const MockBoard&) = delete;
  MockBoard& operator=(const MockBoard&) = delete;

  // After `transfers` more control transfers have completed, the board is pulled out:
  // the next transfer is accepted and then ends as the kernel ends it on disconnect
  // (-ESHUTDOWN), and every request after that fails with ENODEV.
  void UnplugAfter(int transfers);
  // Control transfers with this bRequest are accepted and never answered (a board that
  // NAKs forever), until libusb discards them.
  void NeverAnswer(std::uint8_t request);

  // What happened to the node, in order: "claim 0", "detach usbtest", "release 0", ...
  std::vector<std::string> Events() const;
  // The driver bound to interface 0 now ("usbfs" while libusb holds it).
  std::string KernelDriver() const;
  int CompletedTransfers() const;
  // Every usbfs request the node got: non-zero once anyone opened it through libusb.
  int Requests() const;

  const std::string& SysName() const { return sysName_; }
  const std::string& DevNode() const { return devNode_; }
  UMockdevIoctlBase* Handler() const { return handler_; }

 private:
  static int HandleIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, MockBoard* self);
  bool Serve(UMockdevIoctlClient* client);
  bool SubmitUrb(UMockdevIoctlClient* client, UMockdevIoctlData* argument);
  bool ReapUrb(UMockdevIoctlClient* client, UMockdevIoctlData* argument);
  bool DiscardUrb(UMockdevIoctlClient* client, UMockdevIoctlData* argument);

  struct PendingUrb {
    UMockdevIoctlData* urb;  // a reference, dropped when reaped
    bool answered;
  };

  std::string sysName_;
  std::string devNode_;
  usb::UsbControlPort& target_;
  UMockdevIoctlBase* handler_;

  mutable std::mutex mutex_;
  std::string kernelDriver_;
  std::string detachedDriver_;
  std::vector<std::string> events_;
  std::vector<PendingUrb> pending_;
  int completed_ = 0;
  int requests_ = 0;
  int transfersBeforeUnplug_ = -1;
  bool unplugged_ = false;
  int neverAnswered_ = -1;
};

class MockUsbBus {
 public:
  MockUsbBus();
  ~MockUsbBus();
  MockUsbBus(const MockUsbBus&) = delete;
  MockUsbBus& operator=(const MockUsbBus&) = delete;

  // A board at `sysName` ("1-2" = bus 1, port 2; "1-3.4" = port 4 of the hub on port 3).
  // Root hubs and hubs on the way are added as needed. `kernelDriver` is the driver
  // bound to interface 0 ("" for none).
  MockBoard& AddBoard(const std::string& sysName, usb::BoardIdentity identity,
                      usb::UsbControlPort& target, const std::string& kernelDriver = "");
  // Any other USB device, to be passed over by the board search.
  void AddOtherDevice(const std::string& sysName, usb::BoardIdentity identity);

 private:
  std::string AddDevice(const std::string& sysName, const std::string& descriptorsHex,
                        bool withNode);
  void EnsureParents(const std::string& sysName);

  UMockdevTestbed* testbed_;
  std::vector<std::string> devices_;  // sysfs names added so far
  std::vector<int> nextDevnum_ = std::vector<int>(8, 2);
  std::vector<std::unique_ptr<MockBoard>> boards_;
};

}  // namespace vesk::testing
