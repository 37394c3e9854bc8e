// Interrupt entry, priorities, nesting, RETI and the FX2's INT2/INT4 autovectoring.

#include <tuple>

#include "sim/tests/core_fixture.h"

namespace vesk::sim::test {
namespace {

// Each vector jumps to a routine at 0x0800 + 0x10 * n that records the vector's low byte at
// @R0 (R0 post-incremented), passes a NOP (at routine + 3), records low byte + 1, clears
// its EXIF request flag and RETIs; so IRAM 0x40.. holds the order in which routines began
// and ended.
class InterruptTest : public CoreFixture {
 protected:
  static constexpr std::uint16_t Routine(int n) {
    return static_cast<std::uint16_t>(0x0800 + 0x10 * n);
  }

  void SetUp() override {
    Code(0x0000, {0x02, 0x01, 0x00});  // LJMP 0x0100
    for (int n = 0; n <= 12; ++n) {
      const std::uint16_t vector = static_cast<std::uint16_t>(0x03 + 8 * n);
      const std::uint8_t low = static_cast<std::uint8_t>(vector);
      // INT2..INT5 clear their own EXIF flag (bits 4..7).
      const std::uint8_t keep =
          n >= 8 && n <= 11 ? static_cast<std::uint8_t>(~(0x10 << (n - 8))) : 0xFF;
      Code(vector, {0x02, static_cast<std::uint8_t>(Routine(n) >> 8),
                    static_cast<std::uint8_t>(Routine(n))});
      Code(Routine(n), {0x76, low, 0x08, 0x00, 0x76, static_cast<std::uint8_t>(low + 1), 0x08, 0x53,
                        0x91, keep, 0x32});
    }
  }
  std::vector<std::uint8_t> Log(int count) {
    std::vector<std::uint8_t> log;
    for (int i = 0; i < count; ++i) log.push_back(cpu_.Iram(static_cast<std::uint8_t>(0x40 + i)));
    return log;
  }
};

TEST_F(InterruptTest, HighPriorityNestsInsideLowButLowWaitsForHigh) {
  // Timer 0 at low priority runs; inside it (at its NOP slot) INT2 arrives at high
  // priority and nests. Then INT0 (low) and I2C (high) arrive together in main: the high
  // one runs first, the low one only after it returned.
  Code(0x0100, {0x78, 0x40,        // MOV R0,#0x40
                0x75, 0xE8, 0xE3,  // MOV EIE,#0xE3 (EUSB, EI2C)
                0x75, 0xF8, 0xE3,  // MOV EIP,#0xE3 (both high)
                0x75, 0xA8, 0x83,  // MOV IE,#0x83 (EA, ET0, EX0)
                0xD2, 0x8D,        // SETB TF0
                0x00, 0x00,        // NOPs for the routines to run in
                0x80, 0xFE});      // SJMP .
  // Raise USB from inside timer 0's routine: run until its NOP slot.
  RunTo(Routine(1) + 3);
  cpu_.RequestInterrupt(Interrupt::Usb);
  RunTo(0x010F);
  EXPECT_EQ(Log(4), (std::vector<std::uint8_t>{0x0B, 0x43, 0x44, 0x0C}));
  EXPECT_EQ(cpu_.ReadSfr(Cpu8051::kExif) & 0x10, 0) << "cleared by the routine";

  cpu_.WriteSfr(Cpu8051::kTcon, 0x03);  // IT0 and IE0: INT0 edge pending
  cpu_.RequestInterrupt(Interrupt::I2c);
  cpu_.Run(300);
  EXPECT_EQ(Log(8), (std::vector<std::uint8_t>{0x0B, 0x43, 0x44, 0x0C, 0x4B, 0x4C, 0x03, 0x04}));
  EXPECT_EQ(cpu_.ReadSfr(Cpu8051::kTcon) & 0x02, 0) << "edge-triggered INT0 cleared on entry";
}

// A request made while EA is 0 waits for it, and one more instruction runs after SETB EA.
// Then, pending at once and all at low priority: timer 0, USB (INT2), I2C (INT3) in that
// order; none nests in another, and after each RETI one main-line instruction runs.
TEST_F(InterruptTest, RequestsWaitForEaAndSamePriorityTakesTurnsInNaturalOrder) {
  Code(0x0100, {0x78, 0x40,        // MOV R0,#0x40
                0x75, 0xE8, 0xE3,  // MOV EIE,#0xE3 (EUSB, EI2C)
                0x75, 0xA8, 0x02,  // MOV IE,#0x02: ET0 without EA
                0xD2, 0x8D,        // SETB TF0
                0x00, 0x00,        // 0x010A..: nothing may happen here
                0xD2, 0xAF,        // 0x010C SETB EA
                0x04,              // 0x010E INC A: runs before the interrupt is taken
                0x04,              // 0x010F INC A
                0x80, 0xFE});      // 0x0110
  RunTo(0x010C);
  EXPECT_EQ(cpu_.InterruptsTaken(), 0u);
  EXPECT_EQ(cpu_.ReadSfr(Cpu8051::kTcon) & 0x20, 0x20);
  RunTo(0x0110);
  EXPECT_EQ(cpu_.InterruptsTaken(), 1u);
  EXPECT_EQ(cpu_.Iram(0x08), 0x0F) << "returned to 0x010F, after the one INC A";
  EXPECT_EQ(cpu_.Iram(0x09), 0x01);
  EXPECT_EQ(cpu_.A(), 2);
  EXPECT_EQ(cpu_.ReadSfr(Cpu8051::kTcon) & 0x20, 0) << "TF0 cleared on entry";

  cpu_.RequestInterrupt(Interrupt::I2c);
  cpu_.RequestInterrupt(Interrupt::Usb);
  cpu_.RequestInterrupt(Interrupt::Timer0);
  cpu_.Run(400);
  EXPECT_EQ(Log(8), (std::vector<std::uint8_t>{0x0B, 0x0C, 0x0B, 0x0C, 0x43, 0x44, 0x4B, 0x4C}));
  EXPECT_EQ(cpu_.InterruptsTaken(), 4u);
}

// INT2's vector is LJMP 0x0200; with AV2EN the chip puts INT2IVEC (0x14: HISPEED) in the
// low byte and the routine there marks IRAM 0x7F. INT4 likewise with INT4IVEC 0x80.
TEST_F(InterruptTest, AutovectorSubstitutesTheVectorRegisterIntoTheJump) {
  Code(0x0043, {0x02, 0x02, 0x00});
  Code(0x0200, {0x75, 0x7F, 0xAA, 0x32});  // the plain target
  Code(0x0214, {0x75, 0x7F, 0x14, 0x32});  // the autovectored one
  Code(0x0053, {0x02, 0x03, 0x00});
  Code(0x0380, {0x75, 0x7E, 0x80, 0x32});
  Code(0x0100, {0x75, 0xE8, 0xE5, 0x75, 0xA8, 0x80, 0x00, 0x80, 0xFE});
  RunTo(0x0107);
  bus_.WriteXdata(Cpu8051::kInt2Ivec, 0x14);  // until the USB block owns them, the bus keeps
  bus_.WriteXdata(Cpu8051::kInt4Ivec, 0x80);  // what is written there
  for (const auto& [setup, request, at, mark] : {std::tuple{0x00, Interrupt::Usb, 0x7F, 0xAA},
                                                 {0x09, Interrupt::Usb, 0x7F, 0x14},  // AV2EN | AV4EN
                                                 {0x09, Interrupt::Int4, 0x7E, 0x80}}) {
    bus_.WriteXdata(Cpu8051::kIntSetup, static_cast<std::uint8_t>(setup));
    cpu_.WriteSfr(Cpu8051::kExif, 0x00);
    cpu_.RequestInterrupt(request);
    cpu_.Run(40);
    EXPECT_EQ(cpu_.Iram(static_cast<std::uint8_t>(at)), mark);
    cpu_.SetIram(static_cast<std::uint8_t>(at), 0);
  }
  EXPECT_EQ(bus_.MainRam()[0x0045], 0x00) << "the code itself is not changed";
}

TEST_F(InterruptTest, IdleEndsOnlyOnTheWakeupInterrupt) {
  Code(0x0100,
       {0x78, 0x40, 0x75, 0xE8, 0xE1, 0x75, 0xA8, 0x80, 0x43, 0x87, 0x01,  // ORL PCON,#1: idle
        0x04,                                                              // INC A after waking
        0x80, 0xFE});
  RunTo(0x010B);
  const std::uint64_t instructions = cpu_.Instructions();
  cpu_.RequestInterrupt(Interrupt::Usb);  // enabled, but no wakeup
  EXPECT_EQ(cpu_.Run(50000), StopReason::CycleLimit);
  EXPECT_TRUE(cpu_.Idle());
  EXPECT_EQ(cpu_.Instructions(), instructions);
  EXPECT_GE(bus_.ElapsedCycles(), 50000u);
  cpu_.WriteSfr(Cpu8051::kEicon, 0x60);  // ERESI
  cpu_.RequestInterrupt(Interrupt::Resume);
  RunTo(0x010C, 100);
  EXPECT_FALSE(cpu_.Idle());
  EXPECT_EQ(Log(2), (std::vector<std::uint8_t>{0x33, 0x34}));
  EXPECT_EQ(cpu_.A(), 1);
}

}  // namespace
}  // namespace vesk::sim::test
