// The bus: CPUCS hold/release and clock speed, peripheral routing and deadlines,
// unmodelled registers, the simulated clock.

#include <vector>

#include "sim/tests/core_fixture.h"

namespace vesk::sim::test {
namespace {

// Records its accesses and the times it was ticked; wants a tick every `period`.
class RecordingPeripheral : public Peripheral {
 public:
  explicit RecordingPeripheral(SimTime period = kNever) : period_(period) {}
  std::uint8_t ReadXdata(std::uint16_t address) override {
    reads.push_back(address);
    return 0x5A;
  }
  void WriteXdata(std::uint16_t address, std::uint8_t value) override {
    writes.push_back({address, value});
  }
  std::uint8_t ReadSfr(std::uint8_t) override { return 0xC3; }
  void WriteSfr(std::uint8_t address, std::uint8_t value) override {
    writes.push_back({address, value});
  }
  SimTime Tick(SimTime now) override {
    ticks.push_back(now);
    if (period_ == kNever) return kNever;
    while (next_ <= now) next_ += period_;
    return next_;
  }
  std::vector<std::uint16_t> reads;
  std::vector<std::pair<std::uint16_t, std::uint8_t>> writes;
  std::vector<SimTime> ticks;

 private:
  SimTime period_;
  SimTime next_ = 0;
};

using BusTest = CoreFixture;

// Held or running, time moves on and a peripheral is ticked at its deadlines: at or after
// each, and less than one instruction late, not at every instruction.
TEST_F(BusTest, HostHoldsTheCpuThroughCpucsWhileTimeAndTicksMoveOn) {
  Code(0x0000, {0x04, 0x80, 0xFD});  // INC A; SJMP back: 4 cycles a loop
  RecordingPeripheral timer(7 * kPicosPerMicro);
  bus_.AttachXdata(0xE700, 0xE700, &timer);
  bus_.WriteXdata(Cpu8051::kCpucs, 0x01);
  EXPECT_TRUE(cpu_.Held());
  EXPECT_EQ(bus_.ReadXdata(Cpu8051::kCpucs), 0x01);
  for (bool held : {true, false}) {
    SCOPED_TRACE(held);
    bus_.WriteXdata(Cpu8051::kCpucs, held ? 0x01 : 0x00);
    timer.ticks.clear();
    const SimTime from = bus_.Now();
    EXPECT_EQ(cpu_.RunUntil(from + 700 * kPicosPerMicro), StopReason::TimeReached);
    EXPECT_EQ(cpu_.Instructions() == 0, held);
    ASSERT_GE(timer.ticks.size(), 99u);
    EXPECT_LE(timer.ticks.size(), 101u);
    for (std::size_t i = 0; i < timer.ticks.size(); ++i) {
      const SimTime deadline = (from / (7 * kPicosPerMicro) + i + 1) * 7 * kPicosPerMicro;
      EXPECT_GE(timer.ticks[i], deadline);
      EXPECT_LT(timer.ticks[i], deadline + 3 * bus_.PicosPerCycle() + 1);
    }
  }
}

TEST_F(BusTest, FirmwareSetsTheClockButCannotHoldItself) {
  // MOV DPTR,#0xE600; MOV A,#0x11 (CLKSPD=48 MHz, 8051RES=1); MOVX @DPTR,A; SJMP .
  Code(0x0000, {0x90, 0xE6, 0x00, 0x74, 0x11, 0xF0, 0x80, 0xFE});
  EXPECT_EQ(bus_.ClockMhz(), 12u);
  cpu_.Run(20);
  EXPECT_FALSE(cpu_.Held());
  EXPECT_EQ(bus_.ClockMhz(), 48u);
  EXPECT_EQ(bus_.ReadXdata(Cpu8051::kCpucs), 0x10);
  // 4 clocks a cycle: 83.3 ns at 48 MHz, 166.7 ns at 24 MHz.
  for (unsigned cpucs : {0x10u, 0x08u, 0x00u}) {
    bus_.WriteXdata(Cpu8051::kCpucs, static_cast<std::uint8_t>(cpucs));
    const SimTime time = bus_.Now();
    const std::uint64_t cycles = bus_.ElapsedCycles();
    cpu_.Run(30000);
    const double mhz = cpucs == 0x10 ? 48 : cpucs == 0x08 ? 24 : 12;
    EXPECT_NEAR(static_cast<double>(bus_.Now() - time),
                static_cast<double>(bus_.ElapsedCycles() - cycles) * 4e6 / mhz, 1.0);
  }
}

TEST_F(BusTest, PeripheralsOwnTheirRegistersAndTheRestIsKeptAndRecorded) {
  RecordingPeripheral usb;
  bus_.AttachXdata(0xE680, 0xE6FF, &usb);
  bus_.AttachXdata(0x1000, 0x10FF, &usb);  // main RAM cannot be taken over
  bus_.AttachSfr(0xBA, &usb);
  bus_.SetUnmodelledResetValue(0xE601, 0x80);
  // MOV DPTR,#0xE680; MOVX A,@DPTR; MOV R7,A; MOV A,#0x42; MOVX @DPTR,A;
  // MOV DPTR,#0xE601; MOVX A,@DPTR; MOV R6,A; MOV A,#0x07; MOVX @DPTR,A; MOVX A,@DPTR; MOV R5,A
  // MOV DPTR,#0x1000; MOVX @DPTR,A; MOV 0xBA,#0x99; MOV A,0xBA; MOV R4,A; SJMP .
  Code(0x0000,
       {0x90, 0xE6, 0x80, 0xE0, 0xFF, 0x74, 0x42, 0xF0, 0x90, 0xE6, 0x01, 0xE0, 0xFE, 0x74, 0x07,
        0xF0, 0xE0, 0xFD, 0x90, 0x10, 0x00, 0xF0, 0x75, 0xBA, 0x99, 0xE5, 0xBA, 0xFC, 0x80, 0xFE});
  RunTo(0x001C);
  EXPECT_EQ(cpu_.R(7), 0x5A);
  EXPECT_EQ(usb.reads, (std::vector<std::uint16_t>{0xE680}));
  ASSERT_EQ(usb.writes.size(), 2u);
  EXPECT_EQ(usb.writes[0], (std::pair<std::uint16_t, std::uint8_t>{0xE680, 0x42}));
  EXPECT_EQ(usb.writes[1], (std::pair<std::uint16_t, std::uint8_t>{0xBA, 0x99}));
  EXPECT_EQ(cpu_.R(6), 0x80) << "unmodelled register reads its reset value";
  EXPECT_EQ(cpu_.R(5), 0x07) << "and keeps what is written";
  EXPECT_EQ(cpu_.R(4), 0xC3);
  EXPECT_EQ(bus_.MainRam()[0x1000], 0x07);
  EXPECT_EQ(bus_.TouchedUnmodelled(), (std::vector<std::uint16_t>{0xE601}));

  bus_.Reset();
  EXPECT_TRUE(bus_.TouchedUnmodelled().empty());
  EXPECT_EQ(bus_.ReadXdata(0xE601), 0x80);
}

}  // namespace
}  // namespace vesk::sim::test
