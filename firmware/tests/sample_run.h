#pragma once
// Shared by the firmware's end-to-end test, the fast-forward's test and the benchmark: the
// tool's whole sequence on the emulated board, and the time bound of an EEPROM write.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "run/update_sequence.h"
#include "device/usb/usb_camera_driver.h"
#include "sim/board/emulated_board.h"

namespace vesk::test {

using sim::SimTime;
using sim::board::EmulatedBoard;

// An idealised 4096-byte beat: per 64-byte page its I2C write frame at 400 kHz (START and
// address, two word-address bytes, the data, STOP), a full 5 ms write cycle, and the frame
// that reads the page back (START, address, word address, repeated START, address, the
// data, STOP).
inline SimTime BeatBound(std::uint32_t bytes) {
  const SimTime bit = 2'500'000;  // ps at 400 kHz
  SimTime total = 0;
  for (std::uint32_t done = 0; done < bytes; done += 64) {
    const std::uint32_t page = std::min<std::uint32_t>(64, bytes - done);
    const SimTime write = (10 + 9 * (2 + page) + 1) * bit;
    const SimTime readBack = (10 + 9 * 2 + 10 + 9 * page + 1) * bit;
    total += write + 5 * sim::kPicosPerMilli + readBack;
  }
  return total;
}

// Runs the tool's whole sequence, answering Yes, and power-cycling the board when asked to.
class SampleRun : public UpdateHost {
 public:
  explicit SampleRun(EmulatedBoard& board) : board_(board) {}
  void ShowStatusLog(const StatusLog& log) override { text = log.Text(); }
  int AskYesNo(std::string_view text, std::string_view) override {
    if (text == kPowerCycleQuestion) {
      askedAt = std::chrono::steady_clock::now();
      if (beforePowerCycle) beforePowerCycle();
      board_.PowerCycle();
      board_.RunFor(1200 * sim::kPicosPerMilli);
    }
    return kAnswerYes;
  }
  std::string text;
  std::function<void()> beforePowerCycle;  // while the control firmware still runs
  std::chrono::steady_clock::time_point askedAt;  // host time of the power-cycle question

 private:
  EmulatedBoard& board_;
};

// The tool's whole run on `board` through the user-space driver, answering Yes.
struct ToolRun {
  explicit ToolRun(EmulatedBoard& board) : source(board), host(board) {
    state.handle.driver = &driver;
  }
  RunOutcome Run() { return RunBoardInitialization(host, state); }
  sim::board::EmulatedBoardSource source;
  usb::UsbCameraDriver driver{source};
  UpdateState state;
  SampleRun host;
};

}  // namespace vesk::test
