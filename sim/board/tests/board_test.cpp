// The emulated board seen from the host: control transfers on its USB port, with small
// SDCC-built programs for its CPU (tests/programs/).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "device/camera_driver.h"
#include "device/usb/usb_camera_driver.h"
#include "device/vendor_request.h"
#include "sim/board/emulated_board.h"
#include "sim/board/tests/boot_image.h"

namespace vesk::sim::board {
namespace {

using usb::SetupPacket;
using usb::TransferResult;
using usb::TransferStatus;
using Bytes = std::vector<std::uint8_t>;
using test::BootImage;
using test::LoadHex;

class BoardTest : public ::testing::Test {
 protected:
  TransferResult Out(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                     std::uint16_t index, Bytes data = {}) {
    const SetupPacket setup{type, request, value, index, static_cast<std::uint16_t>(data.size())};
    return board.ControlTransfer(setup, data);
  }
  TransferResult In(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                    std::uint16_t index, std::uint16_t length, Bytes& reply) {
    reply.assign(length, 0);
    const TransferResult result =
        board.ControlTransfer({type, request, value, index, length}, reply);
    reply.resize(result.actualLength);
    return result;
  }
  TransferResult Load(std::uint16_t address, Bytes data) {
    return Out(0x40, 0xA0, address, 0, data);
  }
  Bytes ReadRam(std::uint16_t address, std::uint16_t length) {
    Bytes reply;
    EXPECT_EQ(In(0xC0, 0xA0, address, 0, length, reply).status, TransferStatus::Ok);
    return reply;
  }
  void LoadAndRun(const std::string& name) {
    ASSERT_EQ(Load(0xE600, {1}).status, TransferStatus::Ok);
    for (const HexChunk& chunk : LoadHex(name).chunks)
      ASSERT_EQ(Load(static_cast<std::uint16_t>(chunk.address), chunk.bytes).status,
                TransferStatus::Ok);
    ASSERT_EQ(Load(0xE600, {0}).status, TransferStatus::Ok);
  }
  Bytes DeviceDescriptor() {
    Bytes reply;
    EXPECT_EQ(In(0x80, 6, 0x0100, 0, 64, reply).status, TransferStatus::Ok);
    return reply;
  }
  static std::uint16_t Vid(const Bytes& d) {
    return static_cast<std::uint16_t>(d.at(8) | d.at(9) << 8);
  }
  static std::uint16_t Pid(const Bytes& d) {
    return static_cast<std::uint16_t>(d.at(10) | d.at(11) << 8);
  }

  EmulatedBoard board;
};

TEST_F(BoardTest, ChipLoadsAndReadsRamWhileTheCpuIsHeldAndReleasesItThroughCpucs) {
  EXPECT_TRUE(board.cpu().Held()) << "no boot EEPROM: the CPU waits for the host";
  Bytes program(130);
  for (std::size_t i = 0; i < program.size(); ++i) program[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(Load(0x1000, program).status, TransferStatus::Ok);
  EXPECT_EQ(ReadRam(0x1000, 130), program);
  const RequestRecord& read = board.RequestLog().back();
  EXPECT_TRUE(read.servedByChip);
  EXPECT_GE(read.duration, 5 * kMicroframe) << "SETUP, three data packets, status";
  ASSERT_EQ(Load(0xE000, {0xAB, 0xCD}).status, TransferStatus::Ok);
  EXPECT_EQ(ReadRam(0xE000, 2), (Bytes{0xAB, 0xCD}));

  // SJMP $ at 0: released, the CPU runs; held again, it stops.
  ASSERT_EQ(Load(0x0000, {0x80, 0xFE}).status, TransferStatus::Ok);
  ASSERT_EQ(Load(0xE600, {0}).status, TransferStatus::Ok);
  EXPECT_FALSE(board.cpu().Held());
  const std::uint64_t before = board.cpu().Instructions();
  board.RunFor(kPicosPerMilli);
  EXPECT_GT(board.cpu().Instructions(), before);
  ASSERT_EQ(Load(0xE600, {1}).status, TransferStatus::Ok);
  EXPECT_TRUE(board.cpu().Held());

  EXPECT_EQ(Load(0x3FFF, {1, 2}).status, TransferStatus::Stall) << "runs past main RAM";
  EXPECT_EQ(Load(0x8000, {1}).status, TransferStatus::Stall);
  EXPECT_EQ(Load(0xE600, {1, 0}).status, TransferStatus::Stall);
}

TEST_F(BoardTest, BareChipAnswersStandardRequestsAndStallsVendorOnes) {
  const Bytes device = DeviceDescriptor();
  ASSERT_EQ(device.size(), 18u);
  EXPECT_EQ(Vid(device), 0x04B4);
  EXPECT_EQ(Pid(device), 0x8613);
  Bytes config;
  ASSERT_EQ(In(0x80, 6, 0x0200, 0, 255, config).status, TransferStatus::Ok);
  EXPECT_EQ(config.size(), 18u);
  EXPECT_EQ(Out(0x00, 9, 1, 0).status, TransferStatus::Ok);
  Bytes answer;
  ASSERT_EQ(In(0x80, 8, 0, 0, 1, answer).status, TransferStatus::Ok);
  EXPECT_EQ(answer, Bytes{1});
  ASSERT_EQ(In(0x80, 0, 0, 0, 2, answer).status, TransferStatus::Ok);
  EXPECT_EQ(Out(0x40, 0xC6, 0, 0, Bytes(16)).status, TransferStatus::Stall);
  EXPECT_EQ(In(0xC0, 0xC6, 0, 0, 16, answer).status, TransferStatus::Stall);
  EXPECT_EQ(In(0x80, 6, 0x0300, 0, 255, answer).status, TransferStatus::Stall) << "no strings";
  EXPECT_TRUE(board.RequestLog().back().servedByChip);
}

TEST_F(BoardTest, StallsEndOneTransferAndSilenceTimesOut) {
  LoadAndRun("usb_test_fw");
  EXPECT_EQ(Out(0x40, 0xEE, 0, 0, Bytes(100)).status, TransferStatus::Stall);
  Bytes reply;
  EXPECT_EQ(In(0x80, 6, 0x0100, 0, 18, reply).status, TransferStatus::Stall)
      << "after the take-over, GET_DESCRIPTOR is the firmware's";
  EXPECT_FALSE(board.RequestLog().back().servedByChip);
  EXPECT_EQ(In(0xC0, 0xEE, 0, 0, 8, reply).status, TransferStatus::Stall);
  ASSERT_EQ(In(0xC0, 0xB5, 0, 0, 2, reply).status, TransferStatus::Ok) << "stall cleared";
  EXPECT_EQ(reply, (Bytes{4, 0})) << "every SETUP entered at INT2IVEC 0x00 (SUDAV)";

  EXPECT_EQ(Out(0x40, 0xB4, 0, 0).status, TransferStatus::Timeout);
  EXPECT_GE(board.RequestLog().back().duration, kControlTimeout);
  EXPECT_LT(board.RequestLog().back().duration, kControlTimeout + 2 * kMicroframe);
  EXPECT_EQ(In(0xC0, 0xB5, 0, 0, 2, reply).status, TransferStatus::Ok) << "and recovers";

  // Held in reset, the firmware answers nothing, but the chip still serves 0xA0.
  ASSERT_EQ(Load(0xE600, {1}).status, TransferStatus::Ok);
  EXPECT_EQ(In(0xC0, 0xB5, 0, 0, 2, reply).status, TransferStatus::Timeout);
  EXPECT_EQ(ReadRam(0x1F00, 1), Bytes{0x5A});
  EXPECT_EQ(Out(0x00, 5, 7, 0).status, TransferStatus::Ok) << "SET_ADDRESS stays the chip's";
  EXPECT_TRUE(board.RequestLog().back().servedByChip);
}

// Endpoint-0 use outside the chip's documentation is recorded, not quietly accepted.
TEST_F(BoardTest, MisusedEndpointZeroIsRecordedAsAFault) {
  LoadAndRun("usb_test_fw");
  struct Case {
    std::uint8_t type;
    std::uint16_t misuse, length;
    Ep0Fault fault;
  };
  const Case cases[] = {
      {0xC0, 0, 8, Ep0Fault::InLongerThanRequested},
      {0xC0, 1, 8, Ep0Fault::CountWrittenWhileBusy},
      {0xC0, 2, 8, Ep0Fault::BufferWrittenWhileBusy},
      {0x40, 3, 10, Ep0Fault::HsnakBeforeOutData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.misuse);
    Bytes data(c.length);
    board.ControlTransfer({c.type, 0xB8, c.misuse, 0, c.length}, data);
    EXPECT_EQ(board.Ep0Faults(), std::vector<Ep0Fault>{c.fault});
    board.usb().ClearFaults();
  }
}

// An enable left set fires the USB interrupt on its own: here IBNIE without NAKIE.IBN.
TEST_F(BoardTest, EveryEnableAndRequestPairRaisesTheUsbInterrupt) {
  LoadAndRun("usb_test_fw");
  Bytes reply;
  ASSERT_EQ(In(0xC0, 0xB6, 0, 0, 64, reply).status, TransferStatus::Ok);
  ASSERT_EQ(In(0xC0, 0xB5, 0, 0, 2, reply).status, TransferStatus::Ok);
  ASSERT_EQ(reply.at(1), 0) << "nothing but SUDAV enabled yet";
  ASSERT_EQ(Out(0x40, 0xB8, 4, 0).status, TransferStatus::Ok);
  ASSERT_EQ(In(0xC0, 0xB6, 0, 0, 64, reply).status, TransferStatus::Ok);
  ASSERT_EQ(In(0xC0, 0xB5, 0, 0, 2, reply).status, TransferStatus::Ok);
  EXPECT_GT(reply.at(1), 0) << "IN tokens NAKed while the firmware delayed its answer";
}

TEST_F(BoardTest, InjectedFaultsFailRequestsAsTheHostWouldSeeThem) {
  board.FailNextRequests(2);
  EXPECT_EQ(Load(0x1000, {1}).status, TransferStatus::Error);
  EXPECT_EQ(Load(0x1000, {1}).status, TransferStatus::Error);
  EXPECT_EQ(ReadRam(0x1000, 1), Bytes{0}) << "failed requests never reached the chip";

  EmulatedBoardSource source(board);
  std::string path;
  ASSERT_NE(source.OpenMember(0, path), nullptr);
  EXPECT_EQ(path, "emulated:0");
  board.UnplugAfter(1);
  EXPECT_EQ(Load(0x1000, {2}).status, TransferStatus::Ok);
  const SimTime before = board.Now();
  EXPECT_EQ(Load(0x1000, {3}).status, TransferStatus::NoDevice);
  Bytes reply;
  EXPECT_EQ(In(0xC0, 0xA0, 0x1000, 0, 1, reply).status, TransferStatus::NoDevice)
      << "every transfer fails once unplugged";
  EXPECT_EQ(board.Now(), before) << "at once";
  EXPECT_EQ(source.OpenMember(0, path), nullptr);

  const auto& log = board.RequestLog();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[1].status, TransferStatus::Error);
  EXPECT_EQ(log[3].status, TransferStatus::Ok);
  EXPECT_EQ(log[4].status, TransferStatus::NoDevice);
  EXPECT_EQ(log[5].duration, 0u);

  board.PowerCycle();
  EXPECT_FALSE(board.Unplugged()) << "plugged in again with the power";
  EXPECT_NE(source.OpenMember(0, path), nullptr);
}

TEST_F(BoardTest, PowerCycleLosesRamAndBootsFromTheEeprom) {
  LoadAndRun("usb_test_fw");
  ASSERT_TRUE(board.usb().Renumerated());
  ASSERT_EQ(Load(0xE600, {0x11}).status, TransferStatus::Ok);  // 48 MHz, held
  EXPECT_EQ(board.bus().ClockMhz(), 48u);
  BootReport boot = board.PowerCycle();
  EXPECT_EQ(board.bus().ClockMhz(), 12u);
  EXPECT_EQ(board.cpu().Cpucs(), 0x03);
  EXPECT_EQ(boot.kind, BootKind::NotBootable) << "erased EEPROM reads 0xFF";
  EXPECT_TRUE(board.cpu().Held());
  EXPECT_FALSE(board.usb().Renumerated());
  EXPECT_EQ(ReadRam(0x1F00, 1), Bytes{0});
  EXPECT_EQ(Vid(DeviceDescriptor()), 0x04B4);
  EXPECT_LT(board.SincePowerUp(), 20 * kPicosPerMilli);

  // C0: only the identity.
  const Bytes c0 = {0xC0, 0x5C, 0x12, 0x10, 0x00, 0x11, 0x00, 0x00};
  std::copy(c0.begin(), c0.end(), board.Bank(0, 0).Contents().begin());
  boot = board.PowerCycle();
  EXPECT_EQ(boot.kind, BootKind::Identity);
  EXPECT_TRUE(board.cpu().Held());
  const Bytes device = DeviceDescriptor();
  EXPECT_EQ(Vid(device), 0x125C);
  EXPECT_EQ(Pid(device), 0x0010);
  EXPECT_EQ(device.at(12), 0x11);

  // C2: the program is loaded and runs; the chip hands endpoint 0 to it.
  const HexImage blink = LoadHex("blink");
  const Bytes c2 = BootImage(blink, 0x125C, 0x0010);
  std::copy(c2.begin(), c2.end(), board.Bank(0, 0).Contents().begin());
  boot = board.PowerCycle();
  EXPECT_EQ(boot.kind, BootKind::Loaded);
  std::uint32_t programBytes = 0;
  for (const HexChunk& chunk : blink.chunks)
    programBytes += static_cast<std::uint32_t>(chunk.bytes.size());
  EXPECT_EQ(boot.bytesLoaded, programBytes);
  // 100 kHz boot: about 90 us a byte.
  EXPECT_GE(boot.duration, c2.size() * 90 * kPicosPerMicro);
  EXPECT_FALSE(board.cpu().Held());
  EXPECT_TRUE(board.usb().Renumerated());
  board.RunFor(50 * kPicosPerMilli);
  EXPECT_GE(board.LedToggles(), 4u);
  EXPECT_EQ(ReadRam(0x1F00, 1), Bytes{0xB1});

  // A C2 image cut short (no end record before erased bytes) leaves the CPU held.
  std::fill(board.Bank(0, 0).Contents().begin() + 8 + 4 + 3, board.Bank(0, 0).Contents().end(),
            0xFF);
  std::copy(c2.begin(), c2.begin() + 8, board.Bank(0, 0).Contents().begin());
  const Bytes record = {0x00, 0x03, 0x10, 0x00, 0x02, 0x10, 0x00};
  std::copy(record.begin(), record.end(), board.Bank(0, 0).Contents().begin() + 8);
  std::fill(board.Bank(0, 0).Contents().begin() + 15, board.Bank(0, 0).Contents().end(), 0x00);
  boot = board.PowerCycle();
  EXPECT_EQ(boot.kind, BootKind::BadImage);
  EXPECT_TRUE(board.cpu().Held());

  board.SetBankMissing(0, 0, true);
  EXPECT_EQ(board.PowerCycle().kind, BootKind::NoEeprom);
  EXPECT_EQ(Vid(DeviceDescriptor()), 0x04B4);
}

TEST_F(BoardTest, EepromImageFileHoldsChipZeroThenChipOne) {
  board.Bank(0, 0).Contents()[0] = 0x01;
  board.Bank(0, 5).Contents()[0x7FFF] = 0x02;
  board.Bank(1, 0).Contents()[0] = 0x03;
  const Bytes image = board.SaveEepromImage();
  ASSERT_EQ(image.size(), 393'216u);
  EXPECT_EQ(image[0], 0x01);
  EXPECT_EQ(image[6 * 32768 - 1], 0x02);
  EXPECT_EQ(image[6 * 32768], 0x03);
  EXPECT_EQ(image[1], 0xFF);

  EmulatedBoard other;
  EXPECT_FALSE(other.LoadEepromImage(Bytes(393'215, 0)));
  EXPECT_EQ(other.Bank(0, 0).Contents()[0], 0xFF) << "a refused file changes nothing";
  ASSERT_TRUE(other.LoadEepromImage(image));
  EXPECT_EQ(other.SaveEepromImage(), image);
}

TEST_F(BoardTest, CameraDriverReachesEachBoardByMemberIndex) {
  EmulatedBoard second;
  EmulatedBoardSource source;
  source.Add(board);
  source.Add(second);
  usb::UsbCameraDriver driver(source);
  NativeDeviceHandle handle = kNullDeviceHandle;
  std::string path;
  ASSERT_TRUE(driver.OpenInterface(1, handle, path));
  EXPECT_EQ(path, "emulated:1");
  EXPECT_FALSE(driver.OpenInterface(2, handle, path));
  const std::vector<BoardInfo> boards = driver.ListBoards();
  ASSERT_EQ(boards.size(), 2u);
  EXPECT_EQ(boards[1].path, "emulated:1") << "entry N is member N";
  EXPECT_EQ(boards[1].state, BoardState::BareFx2);

  ASSERT_TRUE(driver.OpenInterface(1, handle, path));
  DeviceHandle device{handle, &driver};
  std::uint8_t hold = 1;
  ASSERT_TRUE(SendVendorRequest(device, 0xA0, 0, 0, 0xE600, 1, &hold));
  std::uint8_t byte = 0x42;
  ASSERT_TRUE(SendVendorRequest(device, 0xA0, 0, 0, 0x0100, 1, &byte));
  std::uint8_t back = 0;
  ASSERT_TRUE(SendVendorRequest(device, 0xA0, 1, 0, 0x0100, 1, &back));
  EXPECT_EQ(back, 0x42);
  EXPECT_EQ(second.RequestLog().size(), 3u);
  EXPECT_TRUE(board.RequestLog().empty());
  const std::uint8_t block[4] = {1, 2, 3, 4};
  EXPECT_FALSE(WriteEepromBlock(device, 0, 0, 0, 4, block)) << "the bare chip stalls 0xC6";
}

}  // namespace
}  // namespace vesk::sim::board
