// Prints how long the sample run takes on the emulated board: simulated time of each
// image's EEPROM writes next to the bus-and-write-cycle bound, the whole run, and the
// host time of the whole emulated run, and its speed against real time. Run from samples/
// (ctest does); --step turns the emulator's fast-forward of wait loops off.
#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "device/eeprom_writer.h"
#include "device/vendor_request.h"
#include "firmware/tests/sample_run.h"

namespace {

using vesk::sim::SimTime;

// Where each image lives (chip << 8 | bank), as the tool writes them.
const char* ImageAt(std::uint16_t value) {
  static const char* const kChipZero[] = {"tarsel_usb.iic", "bufcon.bin", "bufcon.bin",
                                          "bufcon.bin",     "ROM header", "GPIF waveforms"};
  if (value >> 8) return "camcon.bin";
  return value < 6 ? kChipZero[value] : "?";
}

double Ms(SimTime t) {
  return static_cast<double>(t) / vesk::sim::kPicosPerMilli;
}

}  // namespace

int main(int argc, char** argv) {
  vesk::sim::board::EmulatedBoard board;
  // --step: without the fast-forward of wait loops, for comparison.
  if (argc > 1 && std::string(argv[1]) == "--step") board.cpu().SetFastForward(false);
  vesk::test::ToolRun tool(board);
  const vesk::test::SampleRun& host = tool.host;

  const SimTime board_start = board.Now();
  const auto host_start = std::chrono::steady_clock::now();
  const vesk::RunOutcome outcome = tool.Run();
  const auto host_end = std::chrono::steady_clock::now();
  if (outcome != vesk::RunOutcome::Succeeded) {
    std::printf("the sample run failed:\n%s\n", host.text.c_str());
    return 1;
  }

  struct Figures {
    SimTime taken = 0, bound = 0;
    unsigned beats = 0;
  };
  std::map<std::string, Figures> images;
  SimTime worst_beat = 0;
  for (const auto& record : board.RequestLog()) {
    if (record.setup.bRequest != vesk::kRequestEepromBlock) continue;
    Figures& f = images[ImageAt(record.setup.wValue)];
    f.taken += record.duration;
    f.bound += vesk::test::BeatBound(record.setup.wLength);
    ++f.beats;
    if (record.setup.wLength == vesk::kBeatBytes)
      worst_beat = std::max(worst_beat, record.duration);
  }
  std::printf("%-16s %6s %12s %12s %8s\n", "image", "beats", "sim ms", "bound ms", "over");
  for (const auto& [name, f] : images) {
    std::printf("%-16s %6u %12.1f %12.1f %7.1f%%\n", name.c_str(), f.beats, Ms(f.taken),
                Ms(f.bound), 100.0 * (Ms(f.taken) / Ms(f.bound) - 1));
  }
  const SimTime bound_4096 = vesk::test::BeatBound(vesk::kBeatBytes);
  std::printf("slowest 4096-byte beat: %.2f ms, bound %.2f ms (%.1f%% over; goal within 3%%)\n",
              Ms(worst_beat), Ms(bound_4096), 100.0 * (Ms(worst_beat) / Ms(bound_4096) - 1));
  std::printf(
      "whole run, simulated (power cycle and LED watch excluded): %.1f ms\n",
      Ms(board.RequestLog().back().start + board.RequestLog().back().duration - board_start));
  std::printf(
      "whole run, host time: %.3f s up to the power-cycle question (goal under 2 s), "
      "%.3f s with the power cycle and 1.2 s of simulated blinking\n",
      std::chrono::duration<double>(host.askedAt - host_start).count(),
      std::chrono::duration<double>(host_end - host_start).count());
  const double host_seconds = std::chrono::duration<double>(host_end - host_start).count();
  const double simulated_seconds =
      static_cast<double>(board.Now() - board_start) / (1000.0 * vesk::sim::kPicosPerMilli);
  const auto& cpu = board.cpu();
  std::printf(
      "simulated %.1f s (power cycle and LED watch included) in %.3f s: %.0fx real time "
      "(goal at least 100x)\n",
      simulated_seconds, host_seconds, simulated_seconds / host_seconds);
  std::printf("8051 instructions: %.1f M, %.1f M of them fast-forwarded; %.1f M per host second\n",
              static_cast<double>(cpu.Instructions()) / 1e6,
              static_cast<double>(cpu.FastForwardedInstructions()) / 1e6,
              static_cast<double>(cpu.Instructions()) / 1e6 / host_seconds);
  return 0;
}
