// The libusb back end against devices on a umockdev bus: everything below libusb is
// emulated, everything from libusb up is the real code.

#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device/debug_output.h"
#include "device/usb/tests/scripted_port.h"
#include "device/libusb/tests/mock_usb_bus.h"

namespace vesk::usb {
namespace {

using testing::MockBoard;
using testing::MockUsbBus;

// Only the two identities are boards, listed and opened in one member order; a kernel
// driver that had a board gets it back when the port closes.
TEST(LibusbBoardSource, ListsAndOpensOnlyTheBoardsInMemberOrder) {
  MockUsbBus bus;
  ScriptedPort bare, programmed;
  MockBoard& sameVendor = bus.Add("1-1", {0x04B4, 0x8614});
  MockBoard& bareNode = bus.Add("1-2", kBareFx2Identity, &bare, "usbtest");
  bus.Add("2-3.4", kProgrammedIdentity, &programmed);
  LibusbBoardSource source;
  bare.answers = programmed.answers = {{TransferStatus::Ok, 2}};  // a short answer each

  const std::vector<BoardInfo> boards = source.ListBoards();
  ASSERT_EQ(boards.size(), 2u);
  std::vector<std::string> lines, opened;
  for (std::uint16_t member = 0; member < 2; ++member) {
    const BoardInfo& board = boards[member];
    lines.push_back(board.path + " " + IdentityText(board.vendorId, board.productId) + " " +
                    std::string(BoardStateText(board.state)) + " " + board.location);
    std::string path;
    std::unique_ptr<UsbControlPort> port;
    ASSERT_TRUE(source.OpenMember(member, port, path).Ok());
    ASSERT_NE(port, nullptr);
    opened.push_back(path);
    std::vector<std::uint8_t> reply(8, 0);
    const TransferResult read = port->ControlTransfer({0xC0, 0xA3, 0x0201, member, 8}, reply);
    EXPECT_EQ(read.status, TransferStatus::Ok);
    EXPECT_EQ(read.actualLength, 2u);
    EXPECT_EQ(reply, (std::vector<std::uint8_t>{0xA0, 0xA1, 0, 0, 0, 0, 0, 0}));
  }
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"usb:1-2 04B4:8613 bare FX2 bus 1 port 2",
                                            "usb:2-3.4 125C:0010 camera firmware bus 2 port 3.4"}));
  EXPECT_EQ(opened, (std::vector<std::string>{boards[0].path, boards[1].path}));
  // Each member's request reached its own board, setup packet and all.
  ASSERT_EQ(bare.seen.size(), 1u);
  ASSERT_EQ(programmed.seen.size(), 1u);
  const int bareMember = boards[0].path == "usb:1-2" ? 0 : 1;
  for (const auto& [seen, member] : {std::pair{bare.seen[0].first, bareMember},
                                     std::pair{programmed.seen[0].first, 1 - bareMember}})
    EXPECT_EQ(std::vector<int>({seen.bmRequestType, seen.bRequest, seen.wValue, seen.wIndex,
                                seen.wLength}),
              std::vector<int>({0xC0, 0xA3, 0x0201, member, 8}));

  std::string unchanged = "left alone";
  std::unique_ptr<UsbControlPort> none;
  const DriverStatus absent = source.OpenMember(2, none, unchanged);
  EXPECT_EQ(absent.Text(), "no device (" + std::string(kNoBoardNote) + ")");
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(unchanged, "left alone");
  EXPECT_EQ(sameVendor.Requests(), 0);
  EXPECT_EQ(bareNode.Events(),
            (std::vector<std::string>{"detach usbtest", "claim", "release", "attach usbtest"}));
}

// A failed transfer is its status to the caller and libusb's error on the debugger output;
// a stall lasts one request, an unplugged board fails every later one without a transfer.
TEST(LibusbControlPort, FailuresKeepTheirKindAndAreNamed) {
  struct Row {
    TransferStatus answer;
    std::string debug;
    TransferStatus next;
  };
  const Row rows[] = {
      {TransferStatus::Stall, "LIBUSB_ERROR_PIPE", TransferStatus::Ok},
      {TransferStatus::Other, "LIBUSB_ERROR_IO", TransferStatus::Ok},
      {TransferStatus::Timeout, "LIBUSB_ERROR_TIMEOUT", TransferStatus::Ok},
      {TransferStatus::NoDevice, "LIBUSB_ERROR_NO_DEVICE", TransferStatus::NoDevice},
  };
  ControlTimeouts quick;
  quick.eepromBlockBase = std::chrono::milliseconds(20);
  quick.eepromPerPage = std::chrono::milliseconds(0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.debug);
    MockUsbBus bus;
    ScriptedPort target;
    bus.Add("1-2", kBareFx2Identity, &target);
    LibusbBoardSource source(quick);
    std::string path;
    std::unique_ptr<UsbControlPort> port;
    ASSERT_TRUE(source.OpenMember(0, port, path).Ok());
    ASSERT_NE(port, nullptr);
    target.answers.push_back({row.answer, 0});
    std::vector<std::uint8_t> page(64, 0x55);
    std::string debug;
    DebugSink old = SetDebugSink([&](std::string_view line) { debug += std::string(line) + "\n"; });
    const TransferResult first = port->ControlTransfer({0x40, 0xC6, 0x0004, 0x0040, 64}, page);
    const TransferResult next = port->ControlTransfer({0x40, 0xC6, 0x0004, 0x0080, 64}, page);
    SetDebugSink(std::move(old));
    EXPECT_EQ(first.status, row.answer);
    EXPECT_EQ(next.status, row.next);
    EXPECT_NE(debug.find("libusb_control_transfer(usb:1-2, request 0xC6, value 0x0004, index "
                         "0x0040, length 64) failed: " + row.debug),
              std::string::npos)
        << debug;
    EXPECT_EQ(target.seen.size(), row.next == TransferStatus::Ok ? 2u : 1u);
    port.reset();  // closing a board that is gone must not hang or fail
  }
}

// Each libusb error as a failed transfer's kind and as a failed open's cause, in the
// operator's words.
TEST(LibusbErrors, MapToTheKindAndCauseTheOperatorReads) {
  const struct {
    int error;
    TransferStatus transfer;
    std::string open;
  } rows[] = {
      {LIBUSB_ERROR_PIPE, TransferStatus::Stall, "failed (usb:1-2: LIBUSB_ERROR_PIPE)"},
      {LIBUSB_ERROR_TIMEOUT, TransferStatus::Timeout, "failed (usb:1-2: LIBUSB_ERROR_TIMEOUT)"},
      {LIBUSB_ERROR_NO_DEVICE, TransferStatus::NoDevice, "no device (usb:1-2 was unplugged)"},
      {LIBUSB_ERROR_ACCESS, TransferStatus::Other,
       "access denied (usb:1-2; install the udev rule 60-vesk-update.rules and replug the board)"},
      {LIBUSB_ERROR_BUSY, TransferStatus::Other,
       "busy (usb:1-2; another program holds the board)"},
      {LIBUSB_ERROR_IO, TransferStatus::Other, "failed (usb:1-2: LIBUSB_ERROR_IO)"},
      {LIBUSB_ERROR_OVERFLOW, TransferStatus::Other, "failed (usb:1-2: LIBUSB_ERROR_OVERFLOW)"},
      {LIBUSB_ERROR_NOT_SUPPORTED, TransferStatus::Other,
       "failed (usb:1-2: LIBUSB_ERROR_NOT_SUPPORTED)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(libusb_error_name(row.error));
    EXPECT_EQ(TransferStatusOfLibusbError(row.error), row.transfer);
    EXPECT_EQ(OpenStatusOfLibusbError("usb:1-2", row.error).Text(), row.open);
  }
}

}  // namespace
}  // namespace vesk::usb
