// Core behaviour the ucsim comparison cannot show: the FX2's faults, MPAGE, autopointers,
// timers, unmodelled SFRs, and the Intel HEX reader.

#include "sim/ihex.h"
#include "sim/tests/core_fixture.h"

namespace vesk::sim::test {
namespace {

using CpuTest = CoreFixture;

TEST_F(CpuTest, UndefinedOpcodeAndFetchesOutsideMainRamHaltTheCpuVisibly) {
  Code(0x0000, {0x04, 0xA5, 0x04});
  EXPECT_EQ(cpu_.Run(1000), StopReason::Fault);
  EXPECT_EQ(cpu_.Fault(), CpuFault::UndefinedOpcode);
  EXPECT_EQ(cpu_.FaultPc(), 0x0001);
  EXPECT_EQ(cpu_.A(), 1);
  EXPECT_EQ(cpu_.Instructions(), 1u);
  // Time still passes around a halted core; a host release restarts it.
  EXPECT_EQ(cpu_.RunUntil(bus_.Now() + kPicosPerMicro), StopReason::Fault);
  Code(0x0000, {0x02, 0x40, 0x00});  // LJMP 0x4000, past main RAM
  bus_.WriteXdata(Cpu8051::kCpucs, 0x01);
  bus_.WriteXdata(Cpu8051::kCpucs, 0x00);
  EXPECT_EQ(cpu_.Fault(), CpuFault::None);
  EXPECT_EQ(cpu_.Run(1000), StopReason::Fault);
  EXPECT_EQ(cpu_.Fault(), CpuFault::FetchOutsideMainRam);
  EXPECT_EQ(cpu_.FaultPc(), 0x4000);
}

TEST_F(CpuTest, MovxAtRiUsesMpageAndDpsSelectsTheDataPointer) {
  // MOV MPAGE,#0x21; MOV IOC,#0x20; MOV R0,#0x10; MOV A,#0x5C; MOVX @R0,A;
  // MOV DPTR,#0x1111; INC DPS; MOV DPTR,#0x2222; INC DPTR; MOVX @DPTR,A; SJMP .
  Code(0x0000, {0x75, 0x92, 0x21, 0x75, 0xA0, 0x20, 0x78, 0x10, 0x74, 0x5C, 0xF2, 0x90,
                0x11, 0x11, 0x05, 0x86, 0x90, 0x22, 0x22, 0xA3, 0xF0, 0x80, 0xFE});
  RunTo(0x0015);
  EXPECT_EQ(bus_.MainRam()[0x2110], 0x5C);
  EXPECT_EQ(bus_.MainRam()[0x2010], 0x00);
  EXPECT_EQ(cpu_.Dptr(0), 0x1111);
  EXPECT_EQ(cpu_.Dptr(1), 0x2223);
  EXPECT_EQ(bus_.MainRam()[0x2223], 0x5C);
  EXPECT_EQ(cpu_.ReadSfr(Cpu8051::kDps), 0x01);
}

TEST_F(CpuTest, AutopointersCopyThroughXautodat) {
  for (int i = 0; i < 4; ++i) bus_.ScratchRam()[i] = static_cast<std::uint8_t>(0xA0 + i);
  // AUTOPTRSETUP=7; AUTOPTR1=0xE000; AUTOPTR2=0x3000; 4 x (MOVX A,@DPTR(XAUTODAT1);
  // INC DPTR; MOVX @DPTR,A(XAUTODAT2); DEC DPL), the loop at 0x0014
  Code(0x0000,
       {0x75, 0xAF, 0x07, 0x75, 0x9A, 0xE0, 0x75, 0x9B, 0x00, 0x75, 0x9D, 0x30, 0x75, 0x9E, 0x00,
        0x7F, 0x04, 0x90, 0xE6, 0x7B, 0xE0, 0xA3, 0xF0, 0x15, 0x82, 0xDF, 0xF9, 0x80, 0xFE});
  RunTo(0x001B);
  EXPECT_EQ(bus_.MainRam()[0x3000], 0xA0);
  EXPECT_EQ(bus_.MainRam()[0x3003], 0xA3);
  EXPECT_EQ(cpu_.ReadSfr(Cpu8051::kAutoPtrL1), 0x04);
  EXPECT_EQ(cpu_.ReadSfr(Cpu8051::kAutoPtrL2), 0x04);
}

// Timer 0 mode 1 from 0xFFF0 at clock/12 (a count every 3 cycles): TF0 after 48 cycles.
// Timer 1 mode 2 at clock/4 (CKCON.T1M), reload 0xF0: 16 counts an overflow.
TEST_F(CpuTest, TimersOverflowAtTheirClockAndReload) {
  for (const auto& [sfr, value] : {std::pair{Cpu8051::kTmod, 0x21}, {Cpu8051::kCkcon, 0x11},
                                   {Cpu8051::kTh0, 0xFF}, {Cpu8051::kTl0, 0xF0},
                                   {Cpu8051::kTh1, 0xF0}, {Cpu8051::kTl1, 0xF0}, {Cpu8051::kTcon, 0x50}})
    cpu_.WriteSfr(sfr, static_cast<std::uint8_t>(value));
  Code(0x0000, {0x00, 0x80, 0xFD});
  cpu_.Run(45);
  EXPECT_EQ(cpu_.ReadSfr(Cpu8051::kTcon) & 0xA0, 0x80) << "timer 1 overflowed, timer 0 not yet";
  EXPECT_GE(cpu_.ReadSfr(Cpu8051::kTl1), 0xF0) << "reloaded from TH1";
  cpu_.Run(8);
  EXPECT_EQ(cpu_.ReadSfr(Cpu8051::kTcon) & 0x20, 0x20);
  EXPECT_EQ(cpu_.ReadSfr(Cpu8051::kTh0), 0x00);
}

TEST_F(CpuTest, UnmodelledSfrsKeepWhatIsWrittenAndAreRecorded) {
  // MOV 0xBB,#0x12 (GPIFTRIG, nobody models it here); MOV A,0xBB; MOV A,ACC; SJMP .
  Code(0x0000, {0x75, 0xBB, 0x12, 0xE5, 0xBB, 0xE5, 0xE0, 0x80, 0xFE});
  RunTo(0x0007);
  EXPECT_EQ(cpu_.A(), 0x12);
  EXPECT_EQ(cpu_.TouchedUnmodelledSfrs(), (std::vector<std::uint8_t>{0xBB}));
}

TEST(IntelHex, ReadsSdccOutputAndRejectsDamage) {
  HexImage image;
  std::string error;
  ASSERT_TRUE(ParseIntelHex(":03000000020100FA\r\n:02010000801F5E\n:00000001FF\n", image, error));
  ASSERT_EQ(image.chunks.size(), 2u);
  EXPECT_EQ(image.chunks[1].address, 0x0100u);
  EXPECT_EQ(image.chunks[1].bytes, (std::vector<std::uint8_t>{0x80, 0x1F}));
  for (const auto& [text, message] : {
           std::pair{":03000000020100FB\n:00000001FF\n", "line 1: checksum mismatch"},
           std::pair{":03000000020100FA\n", "no end record"},
           std::pair{":04000000020100FA\n:00000001FF\n", "line 1: length field does not match the record"},
           std::pair{":0300000002010\n:00000001FF\n", "line 1: record too short or odd"}}) {
    EXPECT_FALSE(ParseIntelHex(text, image, error)) << text;
    EXPECT_EQ(error, message);
    EXPECT_TRUE(image.chunks.empty());
  }
}

}  // namespace
}  // namespace vesk::sim::test
