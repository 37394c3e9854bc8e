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
#include <vector>

#include "app/update_sequence.h"
#include "device/control_firmware_table.h"
#include "device/device_connection.h"
#include "device/eeprom_writer.h"
#include "device/firmware_loader.h"
#include "device/usb/usb_camera_driver.h"
#include "device/vendor_request.h"
#include "firmware/tests/sample_run.h"
#include "fx2/generated/fx2_register_map.h"
#include "images/rom_header.h"
#include "sim/board/emulated_board.h"
#include "sim/board/reference_board.h"
#include "sim/board/tests/boot_image.h"

namespace vesk {
namespace {

using sim::SimTime;
using sim::board::EmulatedBoard;
using sim::board::kBankSize;
using usb::TransferStatus;

std::vector<std::uint8_t> ReadSample(const std::string& name) {
  std::ifstream file(std::string(VESK_SAMPLES_DIR) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>(seed + i * 37 + (i >> 8));
  return bytes;
}

// The EEPROMs as one array: chip 0 banks 0..5, then chip 1 banks 0..5.
std::size_t Linear(int chip, int bank, std::size_t offset) {
  return (static_cast<std::size_t>(chip) * sim::board::kBanksPerChip + bank) * kBankSize + offset;
}

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

  EmulatedBoard board;
  sim::board::EmulatedBoardSource source{board};
  usb::UsbCameraDriver driver{source};
  DeviceHandle handle;
};

TEST_F(FirmwareOnBoard, TakesOverEndpointZeroWithoutLosingTheHandle) {
  ASSERT_TRUE(LoadControlFirmware());
  // Our own descriptors now, from the firmware, on the same connection.
  std::array<std::uint8_t, 18> device{};
  const auto reply = board.ControlTransfer({0x80, 6, 0x0100, 0, 18}, device);
  ASSERT_EQ(reply.status, TransferStatus::Ok);
  EXPECT_FALSE(board.RequestLog().back().servedByChip);
  EXPECT_EQ(reply.actualLength, 18u);
  EXPECT_EQ(device[8] | device[9] << 8, 0x125C);
  EXPECT_EQ(device[10] | device[11] << 8, 0x0010);
  EXPECT_EQ(device[12] | device[13] << 8, 0x0011);

  std::array<std::uint8_t, 255> configuration{};
  const auto config = board.ControlTransfer({0x80, 6, 0x0200, 0, 255}, configuration);
  ASSERT_EQ(config.status, TransferStatus::Ok);
  EXPECT_EQ(config.actualLength, 18u);
  EXPECT_EQ(configuration[9 + 5], 0xFF) << "interface class";
  EXPECT_EQ(configuration[9 + 4], 0) << "no endpoints besides endpoint 0";
  std::array<std::uint8_t, 255> product{};
  const auto text = board.ControlTransfer({0x80, 6, 0x0302, 0x0409, 255}, product);
  ASSERT_EQ(text.status, TransferStatus::Ok);
  EXPECT_EQ(text.actualLength, product[0]);

  std::array<std::uint8_t, 8> none{};
  EXPECT_EQ(board.ControlTransfer({0x80, 6, 0x0304, 0x0409, 8}, none).status,
            TransferStatus::Stall);
  EXPECT_EQ(board.ControlTransfer({0xC0, 0xC7, 0, 0, 8}, none).status, TransferStatus::Stall);

  // The handle opened before the release still carries EEPROM writes.
  std::vector<std::uint8_t> bytes = Pattern(100, 1);
  EXPECT_TRUE(WriteEepromBlock(handle, 1, 5, 0x7F9C, 100, bytes.data()));
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), board.Bank(1, 5).Contents().begin() + 0x7F9C));
}

TEST_F(FirmwareOnBoard, ReadsBackWhatItWroteAcrossPagesAndPackets) {
  ASSERT_TRUE(LoadControlFirmware());
  // Unaligned: the first and last pages are partial and packets straddle pages.
  std::vector<std::uint8_t> written = Pattern(4096, 7);
  ASSERT_TRUE(EepromRequest(kHostToDevice, 0x0002, 0x1021, written));
  std::vector<std::uint8_t> read(4096);
  ASSERT_TRUE(EepromRequest(kDeviceToHost, 0x0002, 0x1021, read));
  EXPECT_EQ(read, written);
  const auto bank = board.Bank(0, 2).Contents();
  EXPECT_EQ(bank[0x1020], 0xFF);
  EXPECT_EQ(bank[0x1021 + 4096], 0xFF);

  for (std::size_t length : {1u, 2u, 63u, 64u, 65u}) {
    SCOPED_TRACE(length);
    std::vector<std::uint8_t> part(length);
    ASSERT_TRUE(EepromRequest(kDeviceToHost, 0x0002, 0x1021, part));
    EXPECT_TRUE(std::equal(part.begin(), part.end(), written.begin()));
  }
}

TEST_F(FirmwareOnBoard, StallsAndWritesNothingForAddressesOutsideTheBoard) {
  ASSERT_TRUE(LoadControlFirmware());
  struct Case {
    const char* what;
    std::uint16_t value, offset;
    std::size_t length;
  };
  const Case cases[] = {
      {"chip 2", 0x0200, 0, 16},
      {"bank 6", 0x0006, 0, 16},
      {"past the bank's end", 0x0105, 0x7FF1, 16},
      {"offset 0x8000", 0x0000, 0x8000, 1},
      {"4097 bytes", 0x0001, 0, 4097},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> data(c.length, 0x5A);
    EXPECT_FALSE(EepromRequest(kHostToDevice, c.value, c.offset, data));
    EXPECT_EQ(LastStatus(), TransferStatus::Stall);
    EXPECT_FALSE(EepromRequest(kDeviceToHost, c.value, c.offset, data));
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
}

TEST_F(FirmwareOnBoard, StallsWhenABankIsMissingOrNeverFinishesItsWriteCycle) {
  ASSERT_TRUE(LoadControlFirmware());
  std::vector<std::uint8_t> data = Pattern(4096, 9);
  board.SetBankMissing(1, 3, true);
  EXPECT_FALSE(EepromRequest(kHostToDevice, 0x0103, 0, data));
  EXPECT_EQ(LastStatus(), TransferStatus::Stall);
  EXPECT_FALSE(EepromRequest(kDeviceToHost, 0x0103, 0, data));
  EXPECT_EQ(LastStatus(), TransferStatus::Stall);
  board.SetBankMissing(1, 3, false);

  // A bank that never ends its write cycle: the firmware polls for longer than any write
  // cycle lasts, then stalls well before the host's timeout, having written nothing.
  board.SetBankStuckBusy(0, 3, true);
  EXPECT_FALSE(EepromRequest(kHostToDevice, 0x0003, 0, data));
  EXPECT_EQ(LastStatus(), TransferStatus::Stall);
  EXPECT_GT(board.RequestLog().back().duration, 5 * sim::kPicosPerMilli);
  EXPECT_LT(board.RequestLog().back().duration, 50 * sim::kPicosPerMilli);
  board.SetBankStuckBusy(0, 3, false);
  EXPECT_TRUE(AllErased());

  // SDA held low since before the CPU was held: every request stalls, well within time.
  board.SetSdaStuckLow(true);
  ASSERT_TRUE(LoadControlFirmware());
  EXPECT_FALSE(EepromRequest(kHostToDevice, 0x0004, 0, data));
  EXPECT_EQ(LastStatus(), TransferStatus::Stall);
  EXPECT_FALSE(EepromRequest(kDeviceToHost, 0x0101, 0, data));
  EXPECT_EQ(LastStatus(), TransferStatus::Stall);
  EXPECT_LT(board.RequestLog().back().duration, 100 * sim::kPicosPerMilli);
  board.SetSdaStuckLow(false);
  EXPECT_TRUE(AllErased());

  // The other banks on the same chip still work.
  std::vector<std::uint8_t> small = Pattern(10, 4);
  EXPECT_TRUE(EepromRequest(kHostToDevice, 0x0004, 0x0100, small));
}

TEST(SampleRunOnBoard, WritesEveryImageByteForByteAndTheBoardBootsTheBlinkImage) {
  EmulatedBoard board;
  sim::board::EmulatedBoardSource source{board};
  usb::UsbCameraDriver driver{source};
  UpdateState state;
  state.handle.driver = &driver;
  test::SampleRun host(board);
  ASSERT_EQ(RunBoardInitialization(host, state), RunOutcome::Succeeded) << host.text;
  EXPECT_EQ(host.text.size(), 433u);
  EXPECT_TRUE(host.text.ends_with("Camera firmware update SUCCESSFUL.  Update complete."));

  const std::vector<std::uint8_t> eeprom = board.SaveEepromImage();
  std::vector<bool> claimed(eeprom.size(), false);
  auto expect_at = [&](const std::string& name, int chip, int bank,
                       std::size_t offset) -> std::size_t {
    const std::vector<std::uint8_t> file = ReadSample(name);
    EXPECT_FALSE(file.empty()) << name;
    const std::size_t at = Linear(chip, bank, offset);
    EXPECT_TRUE(std::equal(file.begin(), file.end(), eeprom.begin() + at)) << name;
    std::fill(claimed.begin() + at, claimed.begin() + at + file.size(), true);
    return file.size();
  };
  const std::size_t bufcon = expect_at("bufcon.bin", 0, 1, 0);
  const std::size_t camcon = expect_at("camcon.bin", 1, 0, 0);
  expect_at("tarsel_usb.iic", 0, 0, 0);
  expect_at("gpif_bufcon.bin", 0, 5, 0);
  expect_at("gpif_camcon.bin", 0, 5, 128);
  expect_at("gpif_fifo.bin", 0, 5, 256);

  const std::size_t header_at = Linear(kRomHeaderChip, kRomHeaderBank, kRomHeaderOffset);
  RomHeader expected_header;
  expected_header.InitRomHeader();
  expected_header.SetBufConSize(static_cast<std::uint32_t>(bufcon));
  expected_header.SetCamConSize(static_cast<std::uint32_t>(camcon));
  expected_header.SetFx2Present();
  expected_header.SetGpifPresent();
  expected_header.SetVendorId(0x125C);
  expected_header.SetProductId(0x0010);
  expected_header.SetDeviceId(0x0011);
  const RomHeaderBytes stored_header = [&] {
    RomHeaderBytes bytes{};
    std::copy_n(eeprom.begin() + header_at, kRomHeaderSize, bytes.begin());
    return bytes;
  }();
  EXPECT_EQ(stored_header, expected_header.Encode());
  const RomHeader header = RomHeader::Decode(stored_header);
  EXPECT_EQ(header.checksum(), header.ComputeChecksum());
  EXPECT_EQ(header.bufConSize(), bufcon);
  EXPECT_EQ(header.camConSize(), camcon);
  std::fill(claimed.begin() + header_at, claimed.begin() + header_at + kRomHeaderSize, true);
  for (std::size_t i = 0; i < eeprom.size(); ++i) {
    if (!claimed[i]) {
      ASSERT_EQ(eeprom[i], 0xFF) << "byte " << i << " was written";
    }
  }

  // hold, one request per record, release, the header erase, then one per 4096-byte beat
  const auto beats = [](std::size_t bytes) { return (bytes + kBeatBytes - 1) / kBeatBytes; };
  const std::size_t expected = 1 + (ControlFirmwareRecordCount - 1) + 1 + 1 + beats(bufcon) +
                               beats(camcon) + beats(ReadSample("tarsel_usb.iic").size()) + 3 + 1;
  std::size_t requests = 0, beat_requests = 0;
  for (const auto& record : board.RequestLog()) {
    if (record.setup.bRequest == kRequestFx2Load || record.setup.bRequest == kRequestEepromBlock)
      ++requests;
    if (record.setup.bRequest != kRequestEepromBlock) continue;
    ++beat_requests;
    EXPECT_EQ(record.status, TransferStatus::Ok);
    if (record.setup.wLength == kBeatBytes) {
      EXPECT_LE(record.duration, test::BeatBound(kBeatBytes) * 106 / 100)
          << "beat at " << record.setup.wValue << ":" << record.setup.wIndex;
    }
  }
  EXPECT_EQ(requests, expected);
  EXPECT_EQ(beat_requests, expected - ControlFirmwareRecordCount - 1);

  EXPECT_TRUE(board.Ep0Faults().empty());
  EXPECT_EQ(board.I2cLateReads(), 0u);
  EXPECT_EQ(host.boot.kind, sim::board::BootKind::Loaded);
  EXPECT_EQ(host.boot.identity.vendorId, 0x125C);
  EXPECT_GE(host.ledToggles, 4u) << "the blink image toggles the LED every 250 ms";
}

// The board boots a camera firmware that leaves every USB interrupt source enabled, their
// requests pending, SUDPTRCTL 0 and an OUT packet armed, then keeps running. The tool holds
// it and loads ours over it; the whole run and a read-back through 0xC6 still succeed.
TEST(SampleRunOnBoard, SucceedsOverACameraFirmwareLeftRunning) {
  EmulatedBoard board;
  const std::vector<std::uint8_t> camera =
      sim::board::test::BootImage(sim::board::test::LoadHex("left_running"), 0x125C, 0x0010);
  std::copy(camera.begin(), camera.end(), board.Bank(0, 0).Contents().begin());
  ASSERT_EQ(board.PowerCycle().kind, sim::board::BootKind::Loaded);
  board.RunFor(5 * sim::kPicosPerMilli);
  auto reg = [&](std::uint16_t address) { return board.bus().ReadXdata(address); };
  ASSERT_EQ(reg(fx2::EPIE), 0xFF);
  ASSERT_EQ(reg(fx2::SUDPTRCTL), 0);

  sim::board::EmulatedBoardSource source{board};
  usb::UsbCameraDriver driver{source};
  UpdateState state;
  state.handle.driver = &driver;
  test::SampleRun host(board);
  std::vector<std::uint8_t> readBack(sim::board::kEepromImageSize);
  std::vector<std::uint8_t> stored;
  host.beforePowerCycle = [&] {
    DeviceHandle handle;
    handle.driver = &driver;
    std::array<char, 256> path{};
    ASSERT_EQ(OpenCameraDevice(0, handle, path), kOpenSucceeded);
    for (std::size_t at = 0; at < readBack.size(); at += kBeatBytes) {
      const auto bank = static_cast<std::uint16_t>(at / kBankSize);
      const auto value = static_cast<std::uint16_t>((bank / sim::board::kBanksPerChip) << 8 |
                                                    bank % sim::board::kBanksPerChip);
      ASSERT_TRUE(SendVendorRequest(handle, kRequestEepromBlock, kDeviceToHost,
                                    static_cast<std::uint16_t>(at % kBankSize), value, kBeatBytes,
                                    readBack.data() + at));
    }
    CloseCameraDevice(handle);
    stored = board.SaveEepromImage();
    for (std::uint16_t address : {fx2::USBIE, fx2::EPIE, fx2::IBNIE, fx2::NAKIE, fx2::USBERRIE})
      EXPECT_EQ(reg(address) & ~fx2::USBIE_SUDAV, 0) << "enable at " << std::hex << address;
    EXPECT_EQ(reg(fx2::SUDPTRCTL), 1);
  };
  ASSERT_EQ(RunBoardInitialization(host, state), RunOutcome::Succeeded) << host.text;
  EXPECT_TRUE(host.text.ends_with("Camera firmware update SUCCESSFUL.  Update complete."));
  ASSERT_EQ(stored.size(), readBack.size());
  EXPECT_TRUE(readBack == stored);
  EXPECT_TRUE(board.Ep0Faults().empty());
  EXPECT_EQ(board.I2cLateReads(), 0u);
}

// A bank that is missing, keeps its old bytes while acknowledging new ones, or has a stuck
// bit fails the run at the image that lives in it, with that image's line.
TEST(SampleRunOnBoard, FaultyBankEndsTheRunAtTheImageThatLivesThere) {
  struct Case {
    const char* line;
    std::function<void(EmulatedBoard&)> fault;
  };
  const Case cases[] = {
      {"Error 0x3 (Failed to download BufCon)\r\n",
       [](EmulatedBoard& b) { b.SetBankMissing(0, 1, true); }},
      {"Error 0x4 (Failed to download CamCon)\r\n",
       [](EmulatedBoard& b) { b.SetBankMissing(1, 0, true); }},
      {"Error 0x3 (Failed to download BufCon)\r\n",
       [](EmulatedBoard& b) { b.SetBankWriteProtected(0, 1, true); }},
      {"Error 0x4 (Failed to download CamCon)\r\n",
       [](EmulatedBoard& b) { b.SetBankStuckBits(1, 0, 0x1234, 0x40); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EmulatedBoard board;
    c.fault(board);
    sim::board::EmulatedBoardSource source{board};
    usb::UsbCameraDriver driver{source};
    UpdateState state;
    state.handle.driver = &driver;
    test::SampleRun host(board);
    EXPECT_EQ(RunBoardInitialization(host, state), RunOutcome::Failed);
    EXPECT_TRUE(host.text.ends_with(std::string(c.line) + "Camera firmware update FAILED."))
        << host.text;
    EXPECT_EQ(board.RequestLog().back().status, TransferStatus::Stall);
  }
}

// Found by fuzzing: a standard request without a data stage that announces one used to be
// acknowledged, leaving the host's data stage to time out.
TEST_F(FirmwareOnBoard, NoDataRequestsThatAnnounceDataAreStalled) {
  ASSERT_TRUE(LoadControlFirmware());
  std::array<std::uint8_t, 8> data{};
  for (const usb::SetupPacket& setup :
       {usb::SetupPacket{0x00, 9, 1, 0, 8}, usb::SetupPacket{0x01, 11, 0, 0, 8},
        usb::SetupPacket{0x02, 1, 0, 0, 8}}) {
    SCOPED_TRACE(static_cast<int>(setup.bRequest));
    EXPECT_EQ(board.ControlTransfer(setup, data).status, TransferStatus::Stall);
  }
  EXPECT_EQ(board.ControlTransfer({0x00, 9, 1, 0, 0}, {}).status, TransferStatus::Ok);
  EXPECT_TRUE(AllErased());
}

}  // namespace
}  // namespace vesk
