// The user-space camera driver under arbitrary I/O controls: whatever the code, header,
// data and buffer sizes, it never reads or writes outside the buffers it is given, and a
// host-to-device request never writes into the output buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "device/usb/usb_camera_driver.h"
#include "device/vendor_request.h"

namespace {

using namespace vesk;
using namespace vesk::usb;

// A port that answers with a reply length chosen by the input, possibly longer than asked.
class ScriptedPort : public UsbControlPort {
 public:
  explicit ScriptedPort(std::uint32_t replyLength, TransferStatus status)
      : replyLength_(replyLength), status_(status) {}
  TransferResult ControlTransfer(const SetupPacket& setup, std::span<std::uint8_t> data) override {
    if (data.size() != setup.wLength) std::abort();
    const bool in = (setup.bmRequestType & 0x80) != 0;
    if (in && !data.empty()) std::memset(data.data(), 0x5A, data.size());
    else
      for (std::uint8_t b : data) sink_ += b;  // every byte of the data stage is readable
    return {status_, in ? replyLength_ : setup.wLength};
  }

 private:
  std::uint32_t replyLength_;
  TransferStatus status_;
  unsigned sink_ = 0;
};

class OneBoard : public UsbBoardSource {
 public:
  std::uint32_t replyLength = 0;
  TransferStatus status = TransferStatus::Ok;
  DriverStatus OpenMember(std::uint16_t member, std::unique_ptr<UsbControlPort>& port,
                          std::string& path) override {
    if (member != 0) return Failure(StatusKind::NoDevice);
    path = "fuzz:0";
    port = std::make_unique<ScriptedPort>(replyLength, status);
    return {};
  }
};

std::uint32_t Take(const std::uint8_t*& data, std::size_t& size, std::size_t bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < bytes && size > 0; ++i, ++data, --size) value = value << 8 | *data;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint32_t flags = Take(data, size, 1);
  const std::uint32_t outputSize = Take(data, size, 3) % 0x18000;  // past the 16-bit limit too
  OneBoard board;
  board.replyLength = Take(data, size, 3);
  board.status = static_cast<TransferStatus>(Take(data, size, 1) % 7);
  UsbCameraDriver driver(board);

  NativeDeviceHandle handle = kNullDeviceHandle;
  std::string path;
  if (!driver.OpenInterface(0, handle, path).Ok()) std::abort();
  if (flags & 1) handle = static_cast<NativeDeviceHandle>(Take(data, size, 2));  // maybe stale
  const std::uint32_t code = (flags & 2) ? Take(data, size, 4) : kVendorRequestIoControl;

  // Exactly-sized heap copies, so that the sanitizer sees any step outside them.
  std::unique_ptr<std::uint8_t[]> input(new std::uint8_t[size ? size : 1]);
  std::memcpy(input.get(), data, size);
  std::unique_ptr<std::uint8_t[]> output(new std::uint8_t[outputSize ? outputSize : 1]);
  std::memset(output.get(), 0xEE, outputSize);

  const DriverStatus status =
      driver.IoControl(handle, code, {input.get(), size}, {output.get(), outputSize});
  // A failure the port reported keeps its kind.
  if (!status.Ok() && status.kind != board.status && status.kind != StatusKind::Other) std::abort();

  const bool hostToDevice = size >= 2 && data[1] == 0;
  if (hostToDevice)
    for (std::uint32_t i = 0; i < outputSize; ++i)
      if (output[i] != 0xEE) std::abort();
  driver.Close(handle);
  return 0;
}
