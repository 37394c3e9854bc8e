// The I2C master, multiplexer and EEPROMs driven through the FX2's registers, as firmware
// would, with a clock the test moves.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "fx2/generated/fx2_register_map.h"
#include "sim/board/eeprom.h"
#include "sim/board/i2c_bus.h"
#include "sim/board/i2c_master.h"

namespace vesk::sim::board {
namespace {

struct CountingInterrupts : InterruptRequests {
  void RequestInterrupt(Interrupt source) override {
    if (source == Interrupt::I2c) ++i2c;
  }
  int i2c = 0;
};

class I2cTest : public ::testing::Test {
 protected:
  I2cTest() {
    for (int chip = 0; chip < kChips; ++chip)
      for (int bank = 0; bank < kBanksPerChip; ++bank)
        mux.Channel(chip).Attach(static_cast<std::uint8_t>(kBankAddress0 + bank),
                                 eeproms[chip][bank]);
  }

  std::uint8_t Read(std::uint16_t reg) { return master.ReadXdata(reg); }
  void Write(std::uint16_t reg, std::uint8_t v) { master.WriteXdata(reg, v); }
  // Polls I2CS as firmware would, every 0.25 us, until `bit` reads `set`.
  void WaitFor(std::uint8_t bit, bool set) {
    for (int i = 0; i < 100000 && ((Read(fx2::I2CS) & bit) != 0) != set; ++i)
      now += kPicosPerMicro / 4;
  }
  // Writes I2DAT and waits for DONE; whether the byte was acknowledged.
  bool SendByte(std::uint8_t byte) {
    Write(fx2::I2DAT, byte);
    WaitFor(I2cMaster::kDone, true);
    return Read(fx2::I2CS) & I2cMaster::kAck;
  }
  bool SendAddress(std::uint8_t address7, bool read) {
    Write(fx2::I2CS, I2cMaster::kStart);
    return SendByte(static_cast<std::uint8_t>(address7 << 1 | (read ? 1 : 0)));
  }
  void Stop() {
    Write(fx2::I2CS, I2cMaster::kStop);
    WaitFor(I2cMaster::kStop, false);
  }
  bool WriteBytes(std::uint8_t address7, std::vector<std::uint8_t> bytes) {
    bool ok = SendAddress(address7, false);
    for (std::uint8_t b : bytes) ok = ok && SendByte(b);
    Stop();
    return ok;
  }
  // The reference read flow: dummy read, LASTRD before the second-to-last, STOP then
  // one more I2DAT read.
  std::vector<std::uint8_t> ReadBytes(std::uint8_t address7, std::size_t count) {
    std::vector<std::uint8_t> out;
    if (!SendAddress(address7, true)) {
      Stop();
      return out;
    }
    if (count == 1) Write(fx2::I2CS, I2cMaster::kLastRead);
    Read(fx2::I2DAT);
    for (std::size_t i = 0; i < count; ++i) {
      WaitFor(I2cMaster::kDone, true);
      if (i + 2 == count) Write(fx2::I2CS, I2cMaster::kLastRead);
      if (i + 1 == count) Write(fx2::I2CS, I2cMaster::kStop);
      out.push_back(Read(fx2::I2DAT));
    }
    WaitFor(I2cMaster::kStop, false);
    return out;
  }

  SimTime now = 0;
  CountingInterrupts interrupts;
  I2cBus bus;
  I2cMux mux{bus, kMuxAddress, kMuxPowerUpControl};
  Eeprom eeproms[kChips][kBanksPerChip];
  I2cMaster master{bus, interrupts, [this] { return now; }};
};

TEST_F(I2cTest, ByteTimesAndDoneInterruptAtBothSpeeds) {
  Write(fx2::I2CS, I2cMaster::kStart);
  Write(fx2::I2DAT, 0x51 << 1);
  EXPECT_EQ(Read(fx2::I2CS) & I2cMaster::kDone, 0);
  EXPECT_EQ(master.Tick(now), 10 * 10 * kPicosPerMicro) << "START + 9 bits at 100 kHz";
  now = 100 * kPicosPerMicro;
  EXPECT_TRUE(Read(fx2::I2CS) & I2cMaster::kDone);
  EXPECT_TRUE(Read(fx2::I2CS) & I2cMaster::kAck);
  EXPECT_EQ(interrupts.i2c, 1);

  Write(fx2::I2CTL, I2cMaster::k400kHz);
  Write(fx2::I2DAT, 0x00);
  EXPECT_EQ(Read(fx2::I2CS) & I2cMaster::kDone, 0) << "writing I2DAT clears DONE";
  EXPECT_EQ(master.Tick(now), now + 9 * 2'500'000);
  now += 9 * 2'500'000;
  EXPECT_TRUE(Read(fx2::I2CS) & I2cMaster::kDone);
  EXPECT_EQ(interrupts.i2c, 2);

  Write(fx2::I2DAT, 0x12);  // too early: the previous byte's bus is still busy
  Write(fx2::I2DAT, 0x13);
  EXPECT_TRUE(Read(fx2::I2CS) & I2cMaster::kBusError);
  Stop();
}

TEST_F(I2cTest, PageWriteWrapsInsidePageAndCommitsOnlyAtStop) {
  std::vector<std::uint8_t> command = {0x12, 0x3C};  // 4 bytes before the page end at 0x1240
  for (int i = 0; i < 8; ++i) command.push_back(static_cast<std::uint8_t>(0xA0 + i));
  Write(fx2::I2CTL, I2cMaster::k400kHz);
  ASSERT_TRUE(SendAddress(0x53, false));
  for (std::uint8_t b : command) ASSERT_TRUE(SendByte(b));
  EXPECT_EQ(eeproms[0][2].Contents()[0x123C], kErased) << "nothing lands before STOP";
  Stop();

  const auto memory = eeproms[0][2].Contents();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(memory[0x123C + i], 0xA0 + i);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(memory[0x1200 + i], 0xA4 + i) << "wrapped to the page start";
  EXPECT_EQ(memory[0x1240], kErased);
  EXPECT_EQ(memory[0x1204], kErased);
}

TEST_F(I2cTest, WriteCycleRefusesAddressUntilFiveMillisecondsAfterStop) {
  Write(fx2::I2CTL, I2cMaster::k400kHz);
  ASSERT_TRUE(WriteBytes(0x51, {0x00, 0x10, 0x42}));
  const SimTime stoppedAt = now;
  int polls = 0;
  while (!SendAddress(0x51, false)) {
    Stop();
    ++polls;
    ASSERT_LT(now - stoppedAt, 6 * kPicosPerMilli);
  }
  Stop();
  EXPECT_GE(now - stoppedAt, kWriteCycle);
  EXPECT_GT(polls, 100) << "a 30 us poll at 400 kHz, about 166 of them in 5 ms";
  EXPECT_EQ(eeproms[0][0].Contents()[0x0010], 0x42);
  EXPECT_TRUE(SendAddress(0x52, false)) << "another bank is not busy";
  Stop();
  EXPECT_EQ(eeproms[0][0].WriteCycles(), 1u) << "address-only commands start no cycle";
}

TEST_F(I2cTest, RandomAndSequentialReadsRollOverAtTheTop) {
  auto memory = eeproms[0][5].Contents();
  memory[0x7FFE] = 0x11;
  memory[0x7FFF] = 0x22;
  memory[0x0000] = 0x33;
  // Random read: address by a dummy write, repeated START, then read.
  ASSERT_TRUE(SendAddress(0x56, false));
  ASSERT_TRUE(SendByte(0x7F));
  ASSERT_TRUE(SendByte(0xFE));
  EXPECT_EQ(ReadBytes(0x56, 4), (std::vector<std::uint8_t>{0x11, 0x22, 0x33, 0xFF}));
  EXPECT_EQ(eeproms[0][5].AddressPointer(), 2) << "no extra byte clocked after STOP";
  EXPECT_EQ(eeproms[0][5].WriteCycles(), 0u);
  // Current-address read of one byte (LASTRD before the dummy read).
  EXPECT_EQ(ReadBytes(0x56, 1), (std::vector<std::uint8_t>{0xFF}));
  EXPECT_EQ(eeproms[0][5].AddressPointer(), 3);
}

TEST_F(I2cTest, MultiplexerSelectsTheChipAndStartsOnChannelZero) {
  eeproms[0][0].Contents()[0] = 0xC0;
  eeproms[1][0].Contents()[0] = 0xC1;
  EXPECT_EQ(mux.Control(), kMuxSelectChannel0);
  ASSERT_TRUE(WriteBytes(0x51, {0, 0}));
  EXPECT_EQ(ReadBytes(0x51, 1), (std::vector<std::uint8_t>{0xC0}));

  ASSERT_TRUE(WriteBytes(kMuxAddress, {kMuxSelectChannel1}));
  ASSERT_TRUE(WriteBytes(0x51, {0, 0}));
  EXPECT_EQ(ReadBytes(0x51, 1), (std::vector<std::uint8_t>{0xC1}));
  EXPECT_EQ(ReadBytes(kMuxAddress, 1), (std::vector<std::uint8_t>{kMuxSelectChannel1}));

  ASSERT_TRUE(WriteBytes(kMuxAddress, {0x00}));
  EXPECT_FALSE(SendAddress(0x51, false)) << "no channel switched on";
  Stop();
  EXPECT_FALSE(SendAddress(0x50, false)) << "0x50 is free on this board";
  Stop();
}

// Where the controller's documentation leaves room, the reading hardest on firmware: each
// of these spoils the write that follows it, which then stores nothing.
TEST_F(I2cTest, MisuseAndStuckSdaSpoilTheNextWrite) {
  struct Case {
    const char* what;
    std::function<void()> before;
  };
  const Case cases[] = {
      {"STOP on an idle bus stays pending",
       [&] {
         Write(fx2::I2CS, I2cMaster::kStop);
         now += kPicosPerMilli;
         EXPECT_TRUE(Read(fx2::I2CS) & I2cMaster::kStop);
       }},
      {"I2DAT read after the read's STOP has gone out",
       [&] {
         ASSERT_EQ(ReadBytes(0x52, 2).size(), 2u);
         Read(fx2::I2DAT);
         EXPECT_EQ(master.LateReads(), 1u);
       }},
      {"SDA held low", [&] { master.SetSdaStuckLow(true); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    master.Reset();
    bus.PowerDown();
    Write(fx2::I2CTL, I2cMaster::k400kHz);
    c.before();
    WriteBytes(0x52, {0x00, 0x20, 0x5A});
    now += 10 * kPicosPerMilli;
    EXPECT_EQ(eeproms[0][1].Contents()[0x20], kErased);
    EXPECT_EQ(eeproms[0][1].WriteCycles(), 0u);
  }
  master.Reset();
  EXPECT_TRUE(WriteBytes(0x52, {0x00, 0x20, 0x5A})) << "a power-on reset clears them";
}

}  // namespace
}  // namespace vesk::sim::board
