// Whole runs of the tool on the emulated board, with and without the fast-forward of wait
// loops, must end at the same cycle with the same board: CPU, RAM, EEPROMs, request log.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/update_sequence.h"
#include "device/usb/usb_camera_driver.h"
#include "firmware/tests/sample_run.h"
#include "sim/board/emulated_board.h"

namespace vesk {
namespace {

using sim::board::EmulatedBoard;

struct BoardEnd {
  RunOutcome outcome;
  std::string text;
  sim::SimTime now;
  std::uint64_t instructions, cycles, ledToggles, skipped;
  std::vector<std::uint8_t> cpu, ram, scratch, eeprom;
  std::vector<std::uint64_t> requests;  // status, length, start and duration of each
};

BoardEnd RunOnce(const std::function<void(EmulatedBoard&)>& fault, bool fastForward) {
  EmulatedBoard board;
  board.cpu().SetFastForward(fastForward);
  fault(board);
  sim::board::EmulatedBoardSource source{board};
  usb::UsbCameraDriver driver{source};
  UpdateState state;
  state.handle.driver = &driver;
  test::SampleRun host(board);
  BoardEnd run{RunBoardInitialization(host, state), host.text, 0, 0, 0, 0, 0, {}, {}, {}, {}, {}};
  // Whatever the run left, the board boots and runs on for a while.
  board.PowerCycle();
  board.RunFor(300 * sim::kPicosPerMilli);
  const sim::Cpu8051& cpu = board.cpu();
  run.now = board.Now();
  run.instructions = cpu.Instructions();
  run.cycles = cpu.Cycles();
  run.ledToggles = board.LedToggles();
  run.skipped = cpu.FastForwardedInstructions();
  run.cpu = {cpu.A(),
             cpu.B(),
             cpu.Psw(),
             cpu.Sp(),
             static_cast<std::uint8_t>(cpu.Pc()),
             static_cast<std::uint8_t>(cpu.Pc() >> 8),
             static_cast<std::uint8_t>(cpu.Dptr(0)),
             static_cast<std::uint8_t>(cpu.Dptr(1))};
  for (int i = 0; i < 256; ++i) run.cpu.push_back(cpu.Iram(static_cast<std::uint8_t>(i)));
  run.ram.assign(board.bus().MainRam().begin(), board.bus().MainRam().end());
  run.scratch.assign(board.bus().ScratchRam().begin(), board.bus().ScratchRam().end());
  run.eeprom = board.SaveEepromImage();
  for (const auto& record : board.RequestLog())
    run.requests.insert(run.requests.end(), {static_cast<std::uint64_t>(record.status),
                                             record.actualLength, record.start, record.duration});
  return run;
}

TEST(FastForwardRun, EndsWhereSteppingEnds) {
  struct Case {
    const char* name;
    std::function<void(EmulatedBoard&)> fault;
  };
  const std::vector<Case> cases = {
      {"sample run, power cycle and LED watch", [](EmulatedBoard&) {}},
      {"CamCon's EEPROM never ends its write cycle",
       [](EmulatedBoard& board) { board.SetBankStuckBusy(1, 0, true); }},
      {"BufCon's EEPROM missing", [](EmulatedBoard& board) { board.SetBankMissing(0, 1, true); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const BoardEnd stepped = RunOnce(c.fault, false);
    const BoardEnd skipped = RunOnce(c.fault, true);
    EXPECT_EQ(stepped.outcome, skipped.outcome);
    EXPECT_EQ(stepped.text, skipped.text);
    EXPECT_EQ(stepped.now, skipped.now);
    EXPECT_EQ(stepped.instructions, skipped.instructions);
    EXPECT_EQ(stepped.cycles, skipped.cycles);
    EXPECT_EQ(stepped.ledToggles, skipped.ledToggles);
    EXPECT_TRUE(stepped.cpu == skipped.cpu);
    EXPECT_TRUE(stepped.ram == skipped.ram);
    EXPECT_TRUE(stepped.scratch == skipped.scratch);
    EXPECT_TRUE(stepped.eeprom == skipped.eeprom);
    EXPECT_TRUE(stepped.requests == skipped.requests);
    EXPECT_GT(skipped.skipped, skipped.instructions / 10);
  }
}

}  // namespace
}  // namespace vesk
