// The libusb back end against boards on a umockdev bus: everything below libusb is
// emulated, everything from libusb up is the real code.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/debug_output.h"
#include "device/libusb/libusb_board_source.h"
#include "tests/libusb/mock_usb_bus.h"
#include "tests/libusb/scripted_port.h"

namespace vesk::usb {
namespace {

using testing::MockBoard;
using testing::MockUsbBus;
using testing::ScriptedPort;

class DebugCapture {
 public:
  DebugCapture() {
    old_ = SetDebugSink([this](std::string_view line) { lines_.emplace_back(line); });
  }
  ~DebugCapture() { SetDebugSink(std::move(old_)); }
  std::string All() const {
    std::string all;
    for (const std::string& line : lines_) all += line + "\n";
    return all;
  }

 private:
  DebugSink old_;
  std::vector<std::string> lines_;
};

SetupPacket VendorOut(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                      std::uint16_t length) {
  return {0x40, request, value, index, length};
}

TEST(LibusbBoardSource, FindsBoardsOfBothIdentitiesByMemberIndex) {
  MockUsbBus bus;
  ScriptedPort bare, programmed, unrelated;
  bus.AddOtherDevice("1-1", {0x046d, 0xc077});
  // Another device with a node of its own: never listed, never opened.
  MockBoard& other = bus.AddBoard("2-1", {0x1234, 0x5678}, unrelated);
  bus.AddBoard("1-2", kBareFx2Identity, bare);
  bus.AddBoard("1-3.4", kProgrammedIdentity, programmed);
  LibusbBoardSource source;

  // The list is in member order and tells each board's identity, state and place.
  const std::vector<BoardInfo> boards = source.ListBoards();
  ASSERT_EQ(boards.size(), 2u);
  for (std::uint16_t member = 0; member < boards.size(); ++member) {
    const BoardInfo& board = boards[member];
    const bool isBare = board.path == "usb:1-2";
    EXPECT_EQ(IdentityText(board.vendorId, board.productId), isBare ? "04B4:8613" : "125C:0010");
    EXPECT_EQ(board.state, isBare ? BoardState::BareFx2 : BoardState::CameraFirmware);
    EXPECT_EQ(board.location, isBare ? "bus 1 port 2" : "bus 1 port 3.4");
    std::string opened;
    EXPECT_NE(source.OpenMember(member, opened), nullptr);
    EXPECT_EQ(opened, board.path);
  }
  EXPECT_EQ(other.Requests(), 0);

  std::string first, second;
  auto member0 = source.OpenMember(0, first);
  auto member1 = source.OpenMember(1, second);
  ASSERT_NE(member0, nullptr);
  ASSERT_NE(member1, nullptr);
  EXPECT_NE(first, second);
  EXPECT_TRUE((first == "usb:1-2" && second == "usb:1-3.4") ||
              (first == "usb:1-3.4" && second == "usb:1-2"))
      << first << " " << second;

  std::string unchanged = "left alone";
  EXPECT_EQ(source.OpenMember(2, unchanged), nullptr);
  EXPECT_EQ(unchanged, "left alone");

  // Each member is its own board: a request on member 0 reaches only that one.
  std::vector<std::uint8_t> record{0x01};
  ASSERT_EQ(member0->ControlTransfer(VendorOut(0xA0, 0xE600, 0, 1), record).status,
            TransferStatus::Ok);
  ScriptedPort& reached = first == "usb:1-2" ? bare : programmed;
  ScriptedPort& untouched = first == "usb:1-2" ? programmed : bare;
  EXPECT_EQ(reached.Requests().size(), 1u);
  EXPECT_TRUE(untouched.Requests().empty());
}

TEST(LibusbBoardSource, NoBoardOnTheBusOpensNothing) {
  MockUsbBus bus;
  bus.AddOtherDevice("1-1", {0x04b4, 0x8614});
  LibusbBoardSource source;
  std::string path;
  EXPECT_EQ(source.OpenMember(0, path), nullptr);
  EXPECT_TRUE(path.empty());
}

TEST(LibusbBoardSource, TakesTheBoardFromItsKernelDriverAndGivesItBackAtClose) {
  MockUsbBus bus;
  ScriptedPort target;
  MockBoard& board = bus.AddBoard("2-1", kBareFx2Identity, target, "usbtest");
  LibusbBoardSource source;
  std::string path;
  auto port = source.OpenMember(0, path);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(path, "usb:2-1");
  EXPECT_EQ(board.KernelDriver(), "usbfs");
  EXPECT_EQ(board.Events(), (std::vector<std::string>{"detach usbtest", "claim 0"}));

  port.reset();
  EXPECT_EQ(board.Events(),
            (std::vector<std::string>{"detach usbtest", "claim 0", "release 0", "attach usbtest"}));
  EXPECT_EQ(board.KernelDriver(), "usbtest");
}

TEST(LibusbControlPort, CarriesSetupAndDataBothWays) {
  MockUsbBus bus;
  ScriptedPort target;
  bus.AddBoard("1-2", kBareFx2Identity, target);
  LibusbBoardSource source;
  std::string path;
  auto port = source.OpenMember(0, path);
  ASSERT_NE(port, nullptr);

  std::vector<std::uint8_t> beat(4096);
  for (std::size_t i = 0; i < beat.size(); ++i) beat[i] = std::uint8_t(i * 7 + 3);
  const TransferResult written = port->ControlTransfer(VendorOut(0xC6, 0x0103, 0x7000, 4096), beat);
  EXPECT_EQ(written.status, TransferStatus::Ok);
  EXPECT_EQ(written.actualLength, 4096u);

  target.Answer(TransferStatus::Ok, {0xDE, 0xAD});
  std::vector<std::uint8_t> reply(8, 0);
  const TransferResult read = port->ControlTransfer({0xC0, 0xA0, 0xE600, 0, 8}, reply);
  EXPECT_EQ(read.status, TransferStatus::Ok);
  EXPECT_EQ(read.actualLength, 2u);
  EXPECT_EQ(reply[0], 0xDE);
  EXPECT_EQ(reply[1], 0xAD);

  const auto requests = target.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].setup.bmRequestType, 0x40);
  EXPECT_EQ(requests[0].setup.bRequest, 0xC6);
  EXPECT_EQ(requests[0].setup.wValue, 0x0103);
  EXPECT_EQ(requests[0].setup.wIndex, 0x7000);
  EXPECT_EQ(requests[0].setup.wLength, 4096);
  EXPECT_EQ(requests[0].data, beat);
  EXPECT_EQ(requests[1].setup.bmRequestType, 0xC0);
  EXPECT_EQ(requests[1].setup.wLength, 8);
}

TEST(LibusbControlPort, StallAndProtocolErrorsAreNamedOnTheDebuggerOutput) {
  MockUsbBus bus;
  ScriptedPort target;
  bus.AddBoard("1-2", kBareFx2Identity, target);
  LibusbBoardSource source;
  std::string path;
  auto port = source.OpenMember(0, path);
  ASSERT_NE(port, nullptr);
  DebugCapture debug;

  target.Answer(TransferStatus::Stall);
  target.Answer(TransferStatus::Error);
  std::vector<std::uint8_t> beat(64, 0x55);
  EXPECT_EQ(port->ControlTransfer(VendorOut(0xC6, 0x0004, 0x0040, 64), beat).status,
            TransferStatus::Stall);
  EXPECT_EQ(port->ControlTransfer(VendorOut(0xC6, 0x0004, 0x0080, 64), beat).status,
            TransferStatus::Error);
  // A stall on endpoint 0 lasts only until the next setup packet.
  EXPECT_EQ(port->ControlTransfer(VendorOut(0xC6, 0x0004, 0x00C0, 64), beat).status,
            TransferStatus::Ok);

  const std::string log = debug.All();
  EXPECT_NE(log.find("libusb_control_transfer(usb:1-2, request 0xC6, value 0x0004, index "
                     "0x0040, length 64) failed: LIBUSB_ERROR_PIPE"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("index 0x0080, length 64) failed: LIBUSB_ERROR_IO"), std::string::npos) << log;
}

TEST(LibusbControlPort, BoardPulledOutDuringAWriteFailsEveryRequestAtOnce) {
  MockUsbBus bus;
  ScriptedPort target;
  MockBoard& board = bus.AddBoard("1-2", kBareFx2Identity, target);
  LibusbBoardSource source;
  std::string path;
  auto port = source.OpenMember(0, path);
  ASSERT_NE(port, nullptr);
  DebugCapture debug;

  board.UnplugAfter(2);
  std::vector<std::uint8_t> beat(4096, 0xA5);
  EXPECT_EQ(port->ControlTransfer(VendorOut(0xC6, 0x0000, 0x0000, 4096), beat).status,
            TransferStatus::Ok);
  EXPECT_EQ(port->ControlTransfer(VendorOut(0xC6, 0x0000, 0x1000, 4096), beat).status,
            TransferStatus::Ok);
  EXPECT_EQ(port->ControlTransfer(VendorOut(0xC6, 0x0000, 0x2000, 4096), beat).status,
            TransferStatus::NoDevice);
  EXPECT_EQ(port->ControlTransfer(VendorOut(0xC6, 0x0000, 0x3000, 4096), beat).status,
            TransferStatus::NoDevice);
  EXPECT_EQ(target.Requests().size(), 2u);
  EXPECT_NE(debug.All().find("LIBUSB_ERROR_NO_DEVICE"), std::string::npos) << debug.All();

  port.reset();  // releasing a board that is gone must not hang or crash
}

TEST(LibusbControlPort, RequestThatIsNeverAnsweredTimesOutAndThePortGoesOn) {
  MockUsbBus bus;
  ScriptedPort target;
  MockBoard& board = bus.AddBoard("1-2", kBareFx2Identity, target);
  ControlTimeouts quick;
  quick.eepromBlockBase = std::chrono::milliseconds(20);
  quick.eepromPerPage = std::chrono::milliseconds(0);
  LibusbBoardSource source(quick);
  std::string path;
  auto port = source.OpenMember(0, path);
  ASSERT_NE(port, nullptr);
  DebugCapture debug;

  board.NeverAnswer(0xC6);
  std::vector<std::uint8_t> beat(64, 0);
  EXPECT_EQ(port->ControlTransfer(VendorOut(0xC6, 0, 0, 64), beat).status, TransferStatus::Timeout);
  EXPECT_NE(debug.All().find("LIBUSB_ERROR_TIMEOUT"), std::string::npos) << debug.All();
  std::vector<std::uint8_t> cpucs{0x00};
  EXPECT_EQ(port->ControlTransfer(VendorOut(0xA0, 0xE600, 0, 1), cpucs).status, TransferStatus::Ok);
}

TEST(ControlTimeouts, EepromBlockGetsTimeForEveryPageAndFirmwareRecordStaysShort) {
  const ControlTimeouts defaults;
  const auto beat = TimeoutFor(VendorOut(0xC6, 0, 0, 4096), defaults);
  const auto page = TimeoutFor(VendorOut(0xC6, 0, 0, 64), defaults);
  const auto record = TimeoutFor(VendorOut(0xA0, 0x0000, 0, 16), defaults);
  // 64 pages of up to 5 ms write cycle each, plus the bus time, with room to spare.
  EXPECT_GE(beat, std::chrono::milliseconds(64 * 5 * 2));
  EXPECT_GT(beat, page);
  EXPECT_LE(record, std::chrono::milliseconds(1000));
}

}  // namespace
}  // namespace vesk::usb
