// The test driver's request handling, as its kernel-mode part calls it, under arbitrary
// buffered I/O controls: one buffer of the larger of the two lengths, any code, header and
// lengths. It never reads or writes outside that buffer, never reports more output than
// the output length, reports none on failure, and returns none for a host-to-device
// request (the I/O manager would copy it over the caller's data).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "device/vendor_request.h"
#include "app/win32/tests/board_driver/served_board.h"

namespace {

std::uint32_t TakeBytes(const std::uint8_t*& data, std::size_t& size, std::size_t bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < bytes && size > 0; ++i, ++data, --size) value = value << 8 | *data;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint32_t flags = TakeBytes(data, size, 1);
  const std::uint32_t outputLength = TakeBytes(data, size, 3) % 0x18000;  // past 16 bits too
  std::uint32_t code = vesk::kVendorRequestIoControl;
  if (flags & 1) code = VESK_BOARD_COMMAND_CODE;
  if (flags & 2) code = TakeBytes(data, size, 4);

  ServedBoard* board = ServedBoardCreate("");
  if (!board) return 0;
  const std::size_t capacity = size > outputLength ? size : outputLength;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[capacity ? capacity : 1]);
  std::memcpy(buffer.get(), data, size);
  std::size_t information = 1234;
  ServedInterface change = kInterfaceEnable;
  const ServedStatus status =
      ServedBoardControl(board, code, buffer.get(), size, outputLength, &information, &change);
  if (information > outputLength) std::abort();
  if (status != kServedOk && information != 0) std::abort();
  const bool hostToDevice = code == vesk::kVendorRequestIoControl && size >= 2 && data[1] == 0;
  if (hostToDevice && information != 0) std::abort();
  ServedBoardDestroy(board);
  return 0;
}
