// The control firmware on the emulated board when the host and the bus misbehave: a port
// reset, a suspend or an abandoned transfer at every stage of an EEPROM write and read, bus
// errors in the middle of pages, a slave holding SDA after the CPU is released, a full-speed
// port and a slow I2C clock. Every request ends completed or failed, never with a wrong
// EEPROM byte, and the next request is served.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "device/control_firmware_table.h"
#include "firmware/tests/sample_run.h"
#include "sim/board/emulated_board.h"
#include "test_support.h"

namespace vesk {
namespace {

using sim::SimTime;
using sim::board::EmulatedBoard;
using sim::board::HostEvent;
using sim::board::HostEventPoint;
using sim::board::HostInterruption;
using usb::SetupPacket;
using usb::TransferStatus;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kBeat = 4096;
constexpr std::uint16_t kBankValue = 0x0102;  // chip 1, bank 2
constexpr std::uint16_t kOffset = 0x2000;
constexpr SimTime kMs = sim::kPicosPerMilli;

void LoadFirmware(EmulatedBoard& board) {
  std::uint8_t hold = 1, run = 0;
  ASSERT_EQ(board.ControlTransfer({0x40, 0xA0, 0xE600, 0, 1}, {&hold, 1}).status, TransferStatus::Ok);
  for (std::size_t i = 0; ControlFirmwareTable[i].type == 0; ++i) {
    HexRecord& r = ControlFirmwareTable[i];
    ASSERT_EQ(board.ControlTransfer({0x40, 0xA0, r.address, 0, r.length}, {r.data, r.length}).status,
              TransferStatus::Ok);
  }
  ASSERT_EQ(board.ControlTransfer({0x40, 0xA0, 0xE600, 0, 1}, {&run, 1}).status, TransferStatus::Ok);
}

TransferStatus Write(EmulatedBoard& board, Bytes data, std::uint16_t value = kBankValue,
                     std::uint16_t offset = kOffset) {
  return board.ControlTransfer({0x40, 0xC6, value, offset, std::uint16_t(data.size())}, data).status;
}

TransferStatus Read(EmulatedBoard& board, Bytes& data) {
  return board.ControlTransfer({0xC0, 0xC6, kBankValue, kOffset, std::uint16_t(data.size())}, data).status;
}

std::uint8_t Configuration(EmulatedBoard& board) {
  std::uint8_t configuration = 0xEE;
  EXPECT_EQ(board.ControlTransfer({0x80, 8, 0, 0, 1}, {&configuration, 1}).status, TransferStatus::Ok);
  return configuration;
}

const char* Name(HostEvent event) {
  switch (event) {
    case HostEvent::BusReset:
      return "bus reset";
    case HostEvent::Suspend:
      return "suspend";
    case HostEvent::Abandon:
      return "abandoned";
  }
  return "?";
}

// Where a transfer meets its event: before the SETUP, before and after each data packet
// (before it: while the firmware waits for it, with endpoint 0 armed), at times
// that fall on every phase of a page (its write, its write cycle, its read-back), and in
// the status stage. `timeStep` 0: no timed points.
std::vector<HostInterruption> Points(std::uint32_t packets, std::uint32_t packetStep,
                                     SimTime timeStep, SimTime until) {
  std::vector<HostInterruption> points{{HostEvent{}, HostEventPoint::BeforeSetup},
                                       {HostEvent{}, HostEventPoint::StatusStage}};
  for (const HostEventPoint point : {HostEventPoint::BeforePacket, HostEventPoint::AfterPacket}) {
    for (std::uint32_t packet = 1; packet <= packets; packet += packetStep)
      points.push_back({HostEvent{}, point, packet});
    if ((packets - 1) % packetStep != 0) points.push_back({HostEvent{}, point, packets});
  }
  for (SimTime at = timeStep; timeStep && at < until; at += timeStep)
    points.push_back({HostEvent{}, HostEventPoint::AtTime, 0, at});
  return points;
}

std::string Describe(const HostInterruption& h) {
  std::string where = h.point == HostEventPoint::BeforeSetup   ? "before the SETUP"
                      : h.point == HostEventPoint::StatusStage ? "in the status stage"
                      : h.point == HostEventPoint::AfterPacket ? "after packet " + std::to_string(h.packet)
                      : h.point == HostEventPoint::BeforePacket ? "before packet " + std::to_string(h.packet)
                                                               : "at " + std::to_string(h.after / 1000) + " ns";
  return std::string(Name(h.event)) + " " + where;
}

// After a reset the host enumerates again; the firmware forgot its configuration.
void Reenumerate(EmulatedBoard& board) {
  EXPECT_EQ(board.ControlTransfer({0x00, 5, 9, 0, 0}, {}).status, TransferStatus::Ok);
  EXPECT_EQ(Configuration(board), 0) << "a reset unconfigures the device";
  EXPECT_EQ(board.ControlTransfer({0x00, 9, 1, 0, 0}, {}).status, TransferStatus::Ok);
  EXPECT_EQ(Configuration(board), 1);
}

// Each event at each point of a 4096-byte write, then of a read; a fresh pattern each time
// over the last, so a byte is either the old or the new one. A write the host saw succeed
// holds every new byte; the same write again always does; nothing outside it changes.
void EveryEventAtEveryPoint(const std::vector<HostInterruption>& writePoints,
                            const std::vector<HostInterruption>& readPoints) {
  for (const HostEvent event : {HostEvent::BusReset, HostEvent::Abandon, HostEvent::Suspend}) {
    EmulatedBoard board;
    LoadFirmware(board);
    ASSERT_EQ(Configuration(board), 1) << "the host had configured the board already";
    unsigned seed = 100;
    std::size_t duringWriteCycle = 0;
    for (HostInterruption point : writePoints) {
      point.event = event;
      point.duration = 5 * kMs;
      SCOPED_TRACE(Describe(point));
      const Bytes before = board.SaveEepromImage();
      const Bytes data = testing::Pattern(kBeat, ++seed);
      board.InterruptNextTransfer(point);
      const TransferStatus status = Write(board, data);
      // An abandoned transfer ends when it meets its point: is a page's write cycle on?
      if (event == HostEvent::Abandon && board.Bank(1, 2).Busy(board.Now())) ++duringWriteCycle;
      const Bytes after = board.SaveEepromImage();
      const std::size_t at = (1 * 6 + 2) * 0x8000u + kOffset;
      bool wrong = !std::equal(before.begin(), before.begin() + at, after.begin()) ||
                   !std::equal(before.begin() + at + kBeat, before.end(), after.begin() + at + kBeat);
      bool allNew = true;
      for (std::size_t i = 0; i < kBeat; ++i) {
        wrong = wrong || (after[at + i] != data[i] && after[at + i] != before[at + i]);
        allNew = allNew && after[at + i] == data[i];
      }
      EXPECT_FALSE(wrong) << "a byte neither old nor new, or one outside the write";
      if (event == HostEvent::Suspend || point.point == HostEventPoint::BeforeSetup) {
        EXPECT_EQ(status, TransferStatus::Ok);
      }
      if (status == TransferStatus::Ok) {
        EXPECT_TRUE(allNew) << "succeeded without writing";
      }
      // A transfer that ended before its point never met the event.
      const bool met = status != TransferStatus::Ok || point.point == HostEventPoint::BeforeSetup;
      if (event == HostEvent::BusReset && met) Reenumerate(board);
      ASSERT_EQ(Write(board, data), TransferStatus::Ok) << "the same beat again";
      Bytes readBack(kBeat);
      ASSERT_EQ(Read(board, readBack), TransferStatus::Ok);
      EXPECT_EQ(readBack, data);
      if (::testing::Test::HasFailure()) return;
    }
    if (event == HostEvent::Abandon && writePoints.size() > 40) {
      EXPECT_GT(duringWriteCycle, 0u) << "no point fell in a write cycle";
    }

    const Bytes stored = board.SaveEepromImage();
    Bytes expected(kBeat);
    ASSERT_EQ(Read(board, expected), TransferStatus::Ok);
    for (HostInterruption point : readPoints) {
      point.event = event;
      point.duration = 5 * kMs;
      SCOPED_TRACE("read, " + Describe(point));
      board.InterruptNextTransfer(point);
      Bytes data(kBeat);
      const TransferStatus status = Read(board, data);
      if (status == TransferStatus::Ok) {
        EXPECT_EQ(data, expected);
      }
      if (event == HostEvent::BusReset &&
          (status != TransferStatus::Ok || point.point == HostEventPoint::BeforeSetup))
        Reenumerate(board);
      Bytes again(kBeat);
      ASSERT_EQ(Read(board, again), TransferStatus::Ok);
      EXPECT_EQ(again, expected);
      EXPECT_TRUE(board.SaveEepromImage() == stored) << "a read wrote";
      if (::testing::Test::HasFailure()) return;
    }
    EXPECT_TRUE(board.Ep0Faults().empty());
    EXPECT_EQ(board.I2cLateReads(), 0u);
  }
}

TEST(HostEvents, EachEventAtTheStagesOfAWriteAndAReadEndsCompletedOrFailedNeverWrong) {
  EveryEventAtEveryPoint(Points(64, 21, 131 * kMs, 540 * kMs), Points(64, 32, 0, 0));
}

// Every packet, and a time point every 3.7 ms (a page takes about 8.4 ms), so that they fall
// on every phase of a page: its write, its write cycle and its read-back.
TEST(HostEventSweep, EveryEventAtEveryPacketAndAllThroughTheWrite) {
  EveryEventAtEveryPoint(Points(64, 1, 3700 * sim::kPicosPerMicro, 545 * kMs), Points(64, 1, 0, 0));
}

// Bus errors at random bytes all through a write and a read: every page gets its retries.
// A page stored wrong is written again. A page that a device refuses on the first try and
// on each of the three retries stalls the request; one accepted on the last retry does not.
TEST(HostEvents, TransientBusErrorsAndLostAcknowledgesAreRetried) {
  EmulatedBoard board;
  LoadFirmware(board);
  std::mt19937 random(24);
  // A page, its acknowledge polling and its read-back take about 175 bytes on the bus.
  auto scatterErrors = [&](std::uint32_t bytes) {
    for (std::uint32_t at = 0; at < bytes; at += 200)
      board.I2cBusErrorAtByte(at + static_cast<std::uint32_t>(random() % 180));
  };
  const Bytes data = testing::Pattern(kBeat, 7);
  const std::uint64_t bytesBefore = board.I2cBytes();
  scatterErrors(64 * 180);
  EXPECT_EQ(Write(board, data), TransferStatus::Ok);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), board.Bank(1, 2).Contents().begin() + kOffset));
  EXPECT_GT(board.I2cBytes() - bytesBefore, 64u * 135) << "the retries cost bytes";
  board.PowerCycle();
  LoadFirmware(board);
  scatterErrors(64 * 75);
  Bytes readBack(kBeat);
  EXPECT_EQ(Read(board, readBack), TransferStatus::Ok);
  EXPECT_EQ(readBack, data);

  // A page stored wrong without anyone noticing reads back wrong: it is written again.
  const Bytes page = testing::Pattern(64, 11);
  board.Bank(0, 3).CorruptNextWrite(5, 0x10);
  EXPECT_EQ(Write(board, page, 0x0003, 0x0000), TransferStatus::Ok);
  EXPECT_TRUE(std::equal(page.begin(), page.end(), board.Bank(0, 3).Contents().begin()));

  for (const auto& [refusals, expected] : {std::pair{3, TransferStatus::Ok}, {4, TransferStatus::Stall}}) {
    SCOPED_TRACE(refusals);
    const Bytes page = testing::Pattern(64, static_cast<unsigned>(refusals));
    board.Bank(0, 3).NackDataByte(10, refusals);
    EXPECT_EQ(Write(board, page, 0x0003, 0x0040), expected);
    EXPECT_EQ(std::equal(page.begin(), page.end(), board.Bank(0, 3).Contents().begin() + 0x40),
              expected == TransferStatus::Ok);
  }
  EXPECT_TRUE(board.Ep0Faults().empty());
  EXPECT_EQ(board.I2cLateReads(), 0u);
}

// A write the host gives up with its last packet delivered, while the firmware writes that
// page over a bus that fails at one of the page's bytes. The page may finish, but once the
// firmware knows the request is over (the reset, the next SETUP) it begins no write for it:
// no retry, so the EEPROM does not change behind the host's back.
TEST(HostEvents, AGivenUpWriteBeginsNoRetry) {
  const Bytes data = testing::Pattern(6, 3);
  for (const HostEvent event : {HostEvent::Abandon, HostEvent::BusReset}) {
    // The multiplexer select is bytes 0-1, the page's address and offset 2-4, its data 5-10.
    for (const std::uint32_t errorAt : {2u, 4u, 7u, 10u}) {
      SCOPED_TRACE(std::string(Name(event)) + ", bus error at byte " + std::to_string(errorAt));
      EmulatedBoard board;
      LoadFirmware(board);
      const std::uint64_t cycles = board.Bank(1, 2).WriteCycles();
      const Bytes before = board.SaveEepromImage();
      board.InterruptNextTransfer({event, HostEventPoint::AfterPacket, 1});
      board.I2cBusErrorAtByte(errorAt);
      EXPECT_EQ(Write(board, data), TransferStatus::Other);
      // The request is over at the reset's start, or when the next SETUP lands.
      const SimTime over = event == HostEvent::BusReset
                               ? board.Now() - sim::board::kBusResetTime
                               : board.Now() + sim::board::kMicroframe;
      std::uint8_t status[2];
      EXPECT_EQ(board.ControlTransfer({0x80, 0, 0, 0, 2}, status).status, TransferStatus::Ok);
      board.RunFor(20 * kMs);
      EXPECT_LE(board.Bank(1, 2).WriteCycles(), cycles + 1) << "a retry was written";
      if (board.Bank(1, 2).WriteCycles() > cycles) {
        EXPECT_LT(board.Bank(1, 2).LastWriteBegun(), over + sim::board::kMicroframe)
            << "a write begun after the request was over";
      }
      const Bytes after = board.SaveEepromImage();
      const std::size_t at = (1 * 6 + 2) * 0x8000u + kOffset;
      for (std::size_t i = 0; i < after.size(); ++i) {
        const bool inside = i >= at && i < at + data.size();
        EXPECT_TRUE(after[i] == before[i] || (inside && after[i] == data[i - at])) << i;
      }
      EXPECT_TRUE(board.Ep0Faults().empty());
    }
  }
}

// The whole run on boards that differ from the one the firmware is usually run on: one on a
// full-speed port, one whose I2C clock runs at 85 and 300 kHz where 100 and 400 are asked
// for, one whose camera firmware was reading its EEPROM when the tool held it and whose
// slave then holds SDA for 2 ms after the release. Each ends with what a plain run leaves.
TEST(HostEvents, WholeRunAtFullSpeedOnASlowClockAndOverAHeldBus) {
  EmulatedBoard plain;
  test::ToolRun plainRun(plain);
  ASSERT_EQ(plainRun.Run(), RunOutcome::Succeeded);
  plain.PowerCycle();
  const Bytes expected = plain.SaveEepromImage();

  const std::pair<const char*, std::function<void(EmulatedBoard&)>> boards[] = {
      {"full speed", [](EmulatedBoard& b) { b.AttachAtFullSpeed(true); }},
      {"slow clock", [](EmulatedBoard& b) { b.SetI2cClockKhz(85, 300); }},
      {"held mid-read, SDA held",
       [](EmulatedBoard& b) {
         std::ifstream image(VESK_TEST_PROGRAMS "/left_running.iic", std::ios::binary);
         const Bytes camera{std::istreambuf_iterator<char>(image), {}};
         std::copy(camera.begin(), camera.end(), b.Bank(0, 0).Contents().begin());
         ASSERT_EQ(b.PowerCycle().kind, sim::board::BootKind::Loaded);
         b.RunFor(5 * kMs);
         b.HoldSdaAfterRelease(2 * kMs);
       }},
  };
  // The sample FX2 image overwrites the start of the camera's boot EEPROM only.
  const std::size_t fx2Image = testing::ReadSample("tarsel_usb.iic").size();
  for (const auto& [what, setUp] : boards) {
    SCOPED_TRACE(what);
    EmulatedBoard board;
    setUp(board);
    test::ToolRun run(board);
    EXPECT_EQ(run.Run(), RunOutcome::Succeeded) << run.host.text;
    Bytes stored = board.SaveEepromImage();
    std::copy(expected.begin() + fx2Image, expected.begin() + 0x8000, stored.begin() + fx2Image);
    EXPECT_TRUE(stored == expected);
    EXPECT_TRUE(board.Ep0Faults().empty());
    EXPECT_EQ(board.I2cLateReads(), 0u);
  }
}

}  // namespace
}  // namespace vesk
