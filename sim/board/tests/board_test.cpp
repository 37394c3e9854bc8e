// The emulated board seen from the host: control transfers on its USB port, with small
// SDCC-built programs for its CPU (tests/programs/).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "sim/board/emulated_board.h"
#include "fx2/generated/fx2_register_map.h"
#include "sim/ihex.h"

namespace vesk::sim::board {
namespace {

using usb::TransferStatus;
using Bytes = std::vector<std::uint8_t>;
constexpr TransferStatus kOk = TransferStatus::Ok, kStall = TransferStatus::Stall;

// One of the SDCC programs in tests/programs/.
HexImage LoadHex(const std::string& name) {
  std::ifstream file(std::string(VESK_TEST_PROGRAMS) + "/" + name + ".ihx");
  std::stringstream text;
  text << file.rdbuf();
  HexImage image;
  std::string error;
  EXPECT_TRUE(ParseIntelHex(text.str(), image, error)) << name << ": " << error;
  return image;
}

class BoardTest : public ::testing::Test {
 protected:
  TransferStatus Out(std::uint8_t type, std::uint8_t request, std::uint16_t value, Bytes data = {}) {
    return board.ControlTransfer({type, request, value, 0, std::uint16_t(data.size())}, data).status;
  }
  // `reply` holds what came.
  TransferStatus In(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                    std::uint16_t length, Bytes& reply) {
    reply.assign(length, 0);
    const usb::TransferResult result = board.ControlTransfer({type, request, value, 0, length}, reply);
    reply.resize(result.actualLength);
    return result.status;
  }
  TransferStatus Load(std::uint16_t address, Bytes data) { return Out(0x40, 0xA0, address, data); }
  Bytes ReadRam(std::uint16_t address, std::uint16_t length) {
    Bytes reply;
    EXPECT_EQ(In(0xC0, 0xA0, address, length, reply), kOk);
    return reply;
  }
  void LoadAndRun(const std::string& name) {
    ASSERT_EQ(Load(0xE600, {1}), kOk);
    for (const HexChunk& chunk : LoadHex(name).chunks)
      ASSERT_EQ(Load(std::uint16_t(chunk.address), chunk.bytes), kOk);
    ASSERT_EQ(Load(0xE600, {0}), kOk);
  }
  // The device descriptor's VID (at 8), PID (10) or DID (12).
  std::uint16_t DescriptorWord(std::size_t at) {
    Bytes d;
    EXPECT_EQ(In(0x80, 6, 0x0100, 64, d), kOk);
    return d.size() == 18 ? std::uint16_t(d[at] | d[at + 1] << 8) : 0;
  }

  EmulatedBoard board;
};

TEST_F(BoardTest, ChipLoadsAndReadsRamWhileTheCpuIsHeldAndReleasesItThroughCpucs) {
  EXPECT_TRUE(board.cpu().Held()) << "no boot EEPROM: the CPU waits for the host";
  Bytes program(130);
  for (std::size_t i = 0; i < program.size(); ++i) program[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(Load(0x1000, program), kOk);
  EXPECT_EQ(ReadRam(0x1000, 130), program);
  EXPECT_TRUE(board.RequestLog().back().servedByChip);
  EXPECT_GE(board.RequestLog().back().duration, 5 * kMicroframe) << "SETUP, 3 packets, status";
  ASSERT_EQ(Load(0xE000, {0xAB, 0xCD}), kOk);
  EXPECT_EQ(ReadRam(0xE000, 2), (Bytes{0xAB, 0xCD}));

  // SJMP $ at 0: released, the CPU runs; held again, it stops.
  ASSERT_EQ(Load(0x0000, {0x80, 0xFE}), kOk);
  ASSERT_EQ(Load(0xE600, {0}), kOk);
  EXPECT_FALSE(board.cpu().Held());
  const std::uint64_t before = board.cpu().Instructions();
  board.RunFor(kPicosPerMilli);
  EXPECT_GT(board.cpu().Instructions(), before);
  ASSERT_EQ(Load(0xE600, {1}), kOk);
  EXPECT_TRUE(board.cpu().Held());

  EXPECT_EQ(Load(0x3FFF, {1, 2}), kStall) << "runs past main RAM";
  EXPECT_EQ(Load(0x8000, {1}), kStall);
  EXPECT_EQ(Load(0xE600, {1, 0}), kStall);
}

TEST_F(BoardTest, BareChipAnswersStandardRequestsAndStallsVendorOnes) {
  EXPECT_EQ(DescriptorWord(8), 0x04B4);
  EXPECT_EQ(DescriptorWord(10), 0x8613);
  Bytes answer;
  ASSERT_EQ(In(0x80, 6, 0x0200, 255, answer), kOk);
  EXPECT_EQ(answer.size(), 18u) << "the configuration with its wTotalLength";
  EXPECT_EQ(Out(0x00, 9, 1), kOk);
  ASSERT_EQ(In(0x80, 8, 0, 1, answer), kOk);
  EXPECT_EQ(answer, Bytes{1});
  EXPECT_EQ(In(0x80, 0, 0, 2, answer), kOk);
  EXPECT_EQ(Out(0x40, 0xC6, 0, Bytes(16)), kStall);
  EXPECT_EQ(In(0xC0, 0xC6, 0, 16, answer), kStall);
  EXPECT_EQ(In(0x80, 6, 0x0300, 255, answer), kStall) << "no strings";
  EXPECT_TRUE(board.RequestLog().back().servedByChip);
}

TEST_F(BoardTest, StallsEndOneTransferAndSilenceTimesOut) {
  LoadAndRun("usb_test_fw");
  EXPECT_EQ(Out(0x40, 0xEE, 0, Bytes(100)), kStall);
  Bytes reply;
  EXPECT_EQ(In(0x80, 6, 0x0100, 18, reply), kStall) << "GET_DESCRIPTOR is the firmware's now";
  EXPECT_FALSE(board.RequestLog().back().servedByChip);
  EXPECT_EQ(In(0xC0, 0xEE, 0, 8, reply), kStall);
  ASSERT_EQ(In(0xC0, 0xB5, 0, 2, reply), kOk) << "stall cleared";
  EXPECT_EQ(reply, (Bytes{4, 0})) << "every SETUP entered at INT2IVEC 0x00 (SUDAV)";

  EXPECT_EQ(Out(0x40, 0xB4, 0), TransferStatus::Timeout);
  EXPECT_GE(board.RequestLog().back().duration, kControlTimeout);
  EXPECT_LT(board.RequestLog().back().duration, kControlTimeout + 2 * kMicroframe);
  EXPECT_EQ(In(0xC0, 0xB5, 0, 2, reply), kOk) << "and recovers";

  // Held in reset, the firmware answers nothing, but the chip still serves 0xA0.
  ASSERT_EQ(Load(0xE600, {1}), kOk);
  EXPECT_EQ(In(0xC0, 0xB5, 0, 2, reply), TransferStatus::Timeout);
  EXPECT_EQ(ReadRam(0x1F00, 1), Bytes{0x5A});
  EXPECT_EQ(Out(0x00, 5, 7), kOk) << "SET_ADDRESS stays the chip's";
  EXPECT_TRUE(board.RequestLog().back().servedByChip);
}

// Endpoint-0 use outside the chip's documentation is recorded, not quietly accepted; an
// enable left set fires the USB interrupt on its own (here IBNIE without NAKIE.IBN).
TEST_F(BoardTest, MisusedEndpointZeroIsRecordedAndEveryEnableRaisesTheUsbInterrupt) {
  LoadAndRun("usb_test_fw");
  const std::tuple<std::uint8_t, std::uint16_t, std::uint16_t, Ep0Fault> misuses[] = {
      {0xC0, 0, 8, Ep0Fault::InLongerThanRequested},
      {0xC0, 1, 8, Ep0Fault::CountWrittenWhileBusy},
      {0xC0, 2, 8, Ep0Fault::BufferWrittenWhileBusy},
      {0x40, 3, 10, Ep0Fault::HsnakBeforeOutData},
  };
  for (const auto& [type, misuse, length, fault] : misuses) {
    SCOPED_TRACE(misuse);
    Bytes data(length);
    board.ControlTransfer({type, 0xB8, misuse, 0, length}, data);
    EXPECT_EQ(board.Ep0Faults(), std::vector<Ep0Fault>{fault});
    board.usb().ClearFaults();
  }

  Bytes reply;
  ASSERT_EQ(In(0xC0, 0xB6, 0, 64, reply), kOk);
  ASSERT_EQ(In(0xC0, 0xB5, 0, 2, reply), kOk);
  ASSERT_EQ(reply.at(1), 0) << "nothing but SUDAV enabled yet";
  ASSERT_EQ(Out(0x40, 0xB8, 4), kOk);
  ASSERT_EQ(In(0xC0, 0xB6, 0, 64, reply), kOk);
  ASSERT_EQ(In(0xC0, 0xB5, 0, 2, reply), kOk);
  EXPECT_GT(reply.at(1), 0) << "IN tokens NAKed while the firmware delayed its answer";
}

// A port reset ends endpoint 0's transfer and clears the address, the registers the firmware
// set stay; the speed is the port's: HSM and the frame time follow it.
TEST_F(BoardTest, BusResetClearsTheAddressAndTheArmedPacketAndTheSpeedIsThePorts) {
  LoadAndRun("usb_test_fw");
  auto reg = [&](std::uint16_t address) { return board.bus().ReadXdata(address); };
  EXPECT_EQ(reg(fx2::FNADDR), kEnumeratedAddress) << "enumerated after power-up";
  board.bus().WriteXdata(fx2::EP0BCH, 0);
  board.bus().WriteXdata(fx2::EP0BCL, 0);
  ASSERT_NE(reg(fx2::EP0CS) & Fx2Usb::kBusy, 0);
  board.bus().WriteXdata(fx2::USBIRQ, 0xFF);
  const SimTime before = board.Now();
  board.BusReset();
  EXPECT_GE(board.Now() - before, kBusResetTime);
  EXPECT_EQ(reg(fx2::FNADDR), 0);
  EXPECT_EQ(reg(fx2::EP0CS) & Fx2Usb::kBusy, 0) << "the armed OUT packet is dropped";
  EXPECT_EQ(reg(fx2::USBIRQ) & (Fx2Usb::kUres | Fx2Usb::kHsGrant),
            Fx2Usb::kUres | Fx2Usb::kHsGrant);
  EXPECT_TRUE(board.usb().Renumerated()) << "endpoint 0 stays the firmware's";
  EXPECT_NE(reg(fx2::USBCS) & Fx2Usb::kHighSpeed, 0);

  board.AttachAtFullSpeed(true);
  board.bus().WriteXdata(fx2::USBIRQ, 0xFF);
  board.BusReset();
  EXPECT_EQ(reg(fx2::USBCS) & Fx2Usb::kHighSpeed, 0);
  EXPECT_EQ(reg(fx2::USBIRQ) & Fx2Usb::kHsGrant, 0);
  Bytes reply;
  ASSERT_EQ(In(0xC0, 0xB5, 0, 2, reply), kOk);
  EXPECT_GE(board.RequestLog().back().duration, 3 * kFullSpeedFrame) << "SETUP, data, status";

  board.bus().WriteXdata(fx2::USBIRQ, 0xFF);
  board.Suspend(5 * kPicosPerMilli);
  EXPECT_NE(reg(fx2::USBIRQ) & Fx2Usb::kSusp, 0);
  board.bus().WriteXdata(fx2::USBIRQ, 0xFF);
  board.Suspend(2 * kPicosPerMilli);
  EXPECT_EQ(reg(fx2::USBIRQ) & Fx2Usb::kSusp, 0) << "not idle long enough to suspend";
}

TEST_F(BoardTest, PowerCycleLosesRamAndBootsFromTheEeprom) {
  LoadAndRun("usb_test_fw");
  ASSERT_TRUE(board.usb().Renumerated());
  ASSERT_EQ(Load(0xE600, {0x11}), kOk);  // 48 MHz, held
  EXPECT_EQ(board.bus().ClockMhz(), 48u);
  EXPECT_EQ(board.PowerCycle().kind, BootKind::NotBootable) << "erased EEPROM reads 0xFF";
  EXPECT_EQ(board.bus().ClockMhz(), 12u);
  EXPECT_EQ(board.cpu().Cpucs(), 0x03);
  EXPECT_FALSE(board.usb().Renumerated());
  EXPECT_EQ(ReadRam(0x1F00, 1), Bytes{0});
  EXPECT_EQ(DescriptorWord(8), 0x04B4);
  EXPECT_LT(board.SincePowerUp(), 20 * kPicosPerMilli);

  // C0: only the identity.
  auto eeprom = board.Bank(0, 0).Contents();
  const Bytes c0 = {0xC0, 0x5C, 0x12, 0x10, 0x00, 0x11, 0x00, 0x00};
  std::copy(c0.begin(), c0.end(), eeprom.begin());
  EXPECT_EQ(board.PowerCycle().kind, BootKind::Identity);
  EXPECT_TRUE(board.cpu().Held());
  EXPECT_EQ(DescriptorWord(8), 0x125C);
  EXPECT_EQ(DescriptorWord(10), 0x0010);
  EXPECT_EQ(DescriptorWord(12), 0x0011);

  // C2 (loaded and run, as the firmware's tests show) whose one record is followed by no end
  // record: the CPU stays held.
  const Bytes c2 = {0xC2, 0x5C, 0x12, 0x10, 0x00, 0x11, 0x00, 0x00, 0x00, 0x03, 0x10, 0x00, 0x02, 0x10, 0x00};
  std::copy(c2.begin(), c2.end(), eeprom.begin());
  std::fill(eeprom.begin() + 15, eeprom.end(), 0x00);
  EXPECT_EQ(board.PowerCycle().kind, BootKind::BadImage);
  EXPECT_TRUE(board.cpu().Held());

  board.SetBankMissing(0, 0, true);
  EXPECT_EQ(board.PowerCycle().kind, BootKind::NoEeprom);
  EXPECT_EQ(DescriptorWord(8), 0x04B4);
}

}  // namespace
}  // namespace vesk::sim::board
