// The control firmware on the emulated board, driven only as the tool drives a camera:
// through the core's device functions and the user-space camera driver. What happened is
// asked of the board (EEPROM contents, request log, LED), never of the firmware.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "run/update_sequence.h"
#include "device/control_firmware_table.h"
#include "device/device_connection.h"
#include "device/eeprom_reader.h"
#include "device/eeprom_writer.h"
#include "device/firmware_loader.h"
#include "device/back_ends/back_ends.h"
#include "device/usb/usb_camera_driver.h"
#include "device/vendor_request.h"
#include "firmware/tests/sample_run.h"
#include "fx2/generated/fx2_register_map.h"
#include "sim/board/emulated_board.h"
#include "test_support.h"

namespace vesk {
namespace {

using sim::SimTime;
using sim::board::EmulatedBoard;
using usb::TransferStatus;

using testing::Pattern;

class FirmwareOnBoard : public ::testing::Test {
 protected:
  void SetUp() override {
    handle.driver = &driver;
    std::array<char, 256> path{};
    ASSERT_EQ(OpenCameraDevice(0, handle, path), kOpenSucceeded);
  }
  void TearDown() override {
    CloseCameraDevice(handle);
    EXPECT_TRUE(board.Ep0Faults().empty());
    EXPECT_EQ(board.I2cLateReads(), 0u);
  }

  bool LoadControlFirmware() { return DownloadControlFirmware(handle, ControlFirmwareTable); }

  bool EepromRequest(std::uint8_t direction, std::uint16_t value, std::uint16_t offset,
                     std::vector<std::uint8_t>& data) {
    return SendVendorRequest(handle, kRequestEepromBlock, direction, offset, value,
                             static_cast<std::uint32_t>(data.size()), data.data());
  }
  TransferStatus LastStatus() const { return board.RequestLog().back().status; }
  bool AllErased() const {
    const std::vector<std::uint8_t> image = board.SaveEepromImage();
    return std::all_of(image.begin(), image.end(), [](std::uint8_t b) { return b == 0xFF; });
  }

  std::unique_ptr<BackEnd> backEnd = MakeBackEnd("emulated");
  EmulatedBoard& board = *backEnd->EmulatedBoards().front();
  CameraDriver& driver = backEnd->Driver();
  DeviceHandle handle;
};

TEST_F(FirmwareOnBoard, TakesOverEndpointZeroWithoutLosingTheHandle) {
  ASSERT_TRUE(LoadControlFirmware());
  // Our own descriptors now, from the firmware, on the same connection.
  std::array<std::uint8_t, 255> reply{};
  auto get = [&](std::uint8_t type, std::uint8_t request, std::uint16_t value) {
    const auto result = board.ControlTransfer({type, request, value, 0x0409, 255}, reply);
    return result.status == TransferStatus::Ok ? result.actualLength : 0u;
  };
  ASSERT_EQ(get(0x80, 6, 0x0100), 18u);
  EXPECT_FALSE(board.RequestLog().back().servedByChip);
  EXPECT_EQ(reply[8] | reply[9] << 8, 0x125C);
  EXPECT_EQ(reply[10] | reply[11] << 8, 0x0010);
  EXPECT_EQ(reply[12] | reply[13] << 8, 0x0011);
  ASSERT_EQ(get(0x80, 6, 0x0200), 18u);
  EXPECT_EQ(reply[9 + 5], 0xFF) << "interface class";
  EXPECT_EQ(reply[9 + 4], 0) << "no endpoints besides endpoint 0";
  EXPECT_EQ(get(0x80, 6, 0x0302), reply[0]);
  EXPECT_GT(reply[0], 2);
  EXPECT_EQ(get(0x80, 6, 0x0304), 0u);
  EXPECT_EQ(LastStatus(), TransferStatus::Stall);
  EXPECT_EQ(get(0xC0, 0xC7, 0), 0u);
  EXPECT_EQ(LastStatus(), TransferStatus::Stall);
  // Found by fuzzing: a request without a data stage that announces one used to be
  // acknowledged, leaving the host's data stage to time out.
  for (const usb::SetupPacket& setup : {usb::SetupPacket{0x00, 9, 1, 0, 8},
                                        usb::SetupPacket{0x01, 11, 0, 0, 8},
                                        usb::SetupPacket{0x02, 1, 0, 0, 8}})
    EXPECT_EQ(board.ControlTransfer(setup, reply).status, TransferStatus::Stall) << +setup.bRequest;
  EXPECT_EQ(board.ControlTransfer({0x00, 9, 1, 0, 0}, {}).status, TransferStatus::Ok);

  // The handle opened before the release still carries EEPROM writes.
  std::vector<std::uint8_t> bytes = Pattern(100, 1);
  EXPECT_TRUE(WriteEepromBlock(handle, 1, 5, 0x7F9C, 100, bytes.data()));
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), board.Bank(1, 5).Contents().begin() + 0x7F9C));
}

// Unaligned (partial first and last pages, packets straddling pages), then addresses outside
// the board: chip 2, bank 6, past a bank's end, offset 0x8000, more than 4096 bytes, none.
TEST_F(FirmwareOnBoard, ServesEveryAddressOnTheBoardAndStallsTheRest) {
  ASSERT_TRUE(LoadControlFirmware());
  std::vector<std::uint8_t> written = Pattern(4096, 7);
  ASSERT_TRUE(EepromRequest(kHostToDevice, 0x0002, 0x1021, written));
  EXPECT_EQ(board.Bank(0, 2).Contents()[0x1020], 0xFF);
  EXPECT_EQ(board.Bank(0, 2).Contents()[0x1021 + 4096], 0xFF);
  for (std::size_t length : {1u, 2u, 63u, 64u, 65u, 4096u}) {
    std::vector<std::uint8_t> part(length);
    ASSERT_TRUE(EepromRequest(kDeviceToHost, 0x0002, 0x1021, part));
    EXPECT_TRUE(std::equal(part.begin(), part.end(), written.begin())) << length;
    // The last byte read with the STOP on its way: no byte clocked in after it.
    EXPECT_EQ(board.Bank(0, 2).AddressPointer(), 0x1021 + length) << length;
  }
  std::fill_n(board.Bank(0, 2).Contents().begin() + 0x1021, 4096, 0xFF);

  const std::tuple<std::uint16_t, std::uint16_t, std::size_t> outside[] = {
      {0x0200, 0, 16}, {0x0006, 0, 16}, {0x0105, 0x7FF1, 16}, {0x0000, 0x8000, 1}, {0x0001, 0, 4097}};
  for (const auto& [value, offset, length] : outside) {
    SCOPED_TRACE(value);
    std::vector<std::uint8_t> data(length, 0x5A);
    EXPECT_FALSE(EepromRequest(kHostToDevice, value, offset, data));
    EXPECT_EQ(LastStatus(), TransferStatus::Stall);
    EXPECT_FALSE(EepromRequest(kDeviceToHost, value, offset, data));
    EXPECT_EQ(LastStatus(), TransferStatus::Stall);
  }
  std::array<std::uint8_t, 1> unused{};
  EXPECT_EQ(board.ControlTransfer({0x40, 0xC6, 0x0001, 0, 0}, std::span(unused).first(0)).status,
            TransferStatus::Stall)
      << "length 0";
  EXPECT_TRUE(AllErased());
  // The firmware still serves the next good request.
  std::vector<std::uint8_t> good = Pattern(64, 3);
  EXPECT_TRUE(EepromRequest(kHostToDevice, 0x0105, 0x7FC0, good));
  EXPECT_TRUE(std::equal(good.begin(), good.end(), board.Bank(1, 5).Contents().begin() + 0x7FC0));
}

// A missing bank, one that never ends its write cycle, SDA held low since before the CPU was
// held: the request stalls in good time and nothing is written.
TEST_F(FirmwareOnBoard, StallsWhenABankIsMissingBusyForEverOrTheBusIsStuck) {
  struct Case {
    const char* what;
    std::function<void(bool)> fault;
    bool reads;  // whether a read fails too
    SimTime leastMs, mostMs;
  };
  const Case cases[] = {
      {"missing", [&](bool on) { board.SetBankMissing(1, 3, on); }, true, 0, 50},
      // The firmware polls for longer than any write cycle lasts, then gives up.
      {"busy", [&](bool on) { board.SetBankStuckBusy(1, 3, on); }, false, 5, 50},
      {"SDA low", [&](bool on) { board.SetSdaStuckLow(on); }, true, 0, 100},
  };
  std::vector<std::uint8_t> data = Pattern(4096, 9);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.fault(true);
    ASSERT_TRUE(LoadControlFirmware());
    EXPECT_FALSE(EepromRequest(kHostToDevice, 0x0103, 0, data));
    EXPECT_EQ(LastStatus(), TransferStatus::Stall);
    EXPECT_GT(board.RequestLog().back().duration, c.leastMs * sim::kPicosPerMilli);
    EXPECT_LT(board.RequestLog().back().duration, c.mostMs * sim::kPicosPerMilli);
    if (c.reads) {
      EXPECT_FALSE(EepromRequest(kDeviceToHost, 0x0103, 0, data));
      EXPECT_EQ(LastStatus(), TransferStatus::Stall);
    }
    c.fault(false);
    EXPECT_TRUE(AllErased());
  }
  // The firmware still serves the next good request.
  std::vector<std::uint8_t> small = Pattern(10, 4);
  EXPECT_TRUE(EepromRequest(kHostToDevice, 0x0104, 0x0100, small));
}

// The board boots a camera firmware that leaves every USB interrupt source enabled, their
// requests pending, SUDPTRCTL 0 and an OUT packet armed, then keeps running. The tool holds
// it and loads ours over it; the whole run and a read-back through 0xC6 still succeed.
TEST(SampleRunOnBoard, SucceedsOverACameraFirmwareLeftRunning) {
  EmulatedBoard board;
  std::ifstream image(VESK_TEST_PROGRAMS "/left_running.iic", std::ios::binary);
  const std::vector<std::uint8_t> camera{std::istreambuf_iterator<char>(image), {}};
  std::copy(camera.begin(), camera.end(), board.Bank(0, 0).Contents().begin());
  ASSERT_EQ(board.PowerCycle().kind, sim::board::BootKind::Loaded);
  board.RunFor(5 * sim::kPicosPerMilli);
  auto reg = [&](std::uint16_t address) { return board.bus().ReadXdata(address); };
  ASSERT_EQ(reg(fx2::EPIE), 0xFF);
  ASSERT_EQ(reg(fx2::SUDPTRCTL), 0);

  test::ToolRun tool(board);
  std::vector<std::uint8_t> readBack, stored;
  tool.host.beforePowerCycle = [&] {
    DeviceHandle handle;
    handle.driver = &tool.driver;
    std::array<char, 256> path{};
    ASSERT_EQ(OpenCameraDevice(0, handle, path), kOpenSucceeded);
    readBack = ReadWholeEeprom(handle);
    CloseCameraDevice(handle);
    stored = board.SaveEepromImage();
    for (std::uint16_t address : {fx2::USBIE, fx2::EPIE, fx2::IBNIE, fx2::NAKIE, fx2::USBERRIE})
      EXPECT_EQ(reg(address) & ~(fx2::USBIE_SUDAV | fx2::USBIE_URES), 0)
          << "enable at " << std::hex << address;
    EXPECT_EQ(reg(fx2::SUDPTRCTL), 1);
  };
  ASSERT_EQ(tool.Run(), RunOutcome::Succeeded) << tool.host.text;
  ASSERT_EQ(readBack.size(), kEepromImageSize);
  EXPECT_TRUE(readBack == stored);
  EXPECT_TRUE(board.Ep0Faults().empty());
  EXPECT_EQ(board.I2cLateReads(), 0u);
}

// A bank that keeps its old bytes while acknowledging new ones, or has a stuck bit, fails the
// run at the image that lives in it, with that image's line (the sweep has missing banks).
TEST(SampleRunOnBoard, FaultyBankEndsTheRunAtTheImageThatLivesThere) {
  const std::pair<const char*, std::function<void(EmulatedBoard&)>> cases[] = {
      {"Error 0x3 (Failed to download BufCon)",
       [](EmulatedBoard& b) { b.SetBankWriteProtected(0, 1, true); }},
      {"Error 0x4 (Failed to download CamCon)",
       [](EmulatedBoard& b) { b.SetBankStuckBits(1, 0, 0x1234, 0x40); }},
  };
  for (const auto& [line, fault] : cases) {
    SCOPED_TRACE(line);
    EmulatedBoard board;
    fault(board);
    test::ToolRun tool(board);
    EXPECT_EQ(tool.Run(), RunOutcome::Failed);
    EXPECT_TRUE(tool.host.text.ends_with(std::string(line) + "\r\nCamera firmware update FAILED."))
        << tool.host.text;
    EXPECT_EQ(board.RequestLog().back().status, TransferStatus::Stall);
  }
}

}  // namespace
}  // namespace vesk
