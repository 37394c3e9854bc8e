#pragma once
// vesk-update on a terminal: the options, the run of the board initialisation, the
// questions, and the exit status.

#include <functional>
#include <iosfwd>
#include <memory>
#include <string_view>

#include "device/back_ends/back_ends.h"
#include "device/camera_driver.h"

namespace vesk::sim::board {
class EmulatedBoard;
}

namespace vesk::console {

inline constexpr int kExitSucceeded = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitCancelled = 2;
inline constexpr int kExitOutputNotWritten = 3;  // board initialised, --log/--eeprom-out not
inline constexpr int kExitUsage = 64;
inline constexpr int kExitBadInput = 65;      // an image file unfit to write, a bad restore image
inline constexpr int kExitNoBoard = 69;       // no board attached (or none came within --wait)
inline constexpr int kExitInternalError = 70;  // an exception no step expected
inline constexpr int kExitInterrupted = 130;  // SIGINT; 143 SIGTERM, 129 SIGHUP

struct ConsoleEnvironment {
  std::istream& in;   // answers to the questions
  std::ostream& out;  // status lines, the board time, --help and --version
  std::ostream& err;  // questions, usage errors, debugger lines, the progress bar
  bool errIsTerminal = false;
  // The platform's back ends by --board name; null when there is none by that name.
  std::function<std::unique_ptr<BackEnd>(std::string_view)> makeBackEnd =
      [](std::string_view name) { return MakeBackEnd(name); };
  std::string_view defaultBoard = DefaultBackEnd();
  // Called with the emulated board before the run (tests inject faults here).
  std::function<void(sim::board::EmulatedBoard&)> prepareEmulatedBoard = {};
  // The exit status of the interruption that stopped the run (interruption.h); without
  // it a stop request counts as SIGINT.
  std::function<int()> interruptionStatus = {};
  // Called with each emulated board, in order, as the run returns (tests look at what
  // reached which board).
  std::function<void(const sim::board::EmulatedBoard&)> inspectEmulatedBoard = {};
  // The terminal's width in columns, for the progress bar; without it 80.
  std::function<int()> terminalColumns = {};
  // -vv: turns on the platform back end's own debug messages (libusb's), before the real
  // driver is made.
  std::function<void()> enableBackEndDebugOutput = {};
  // Whether `in` is a terminal, which echoes the line end of an answer.
  bool inIsTerminal = false;
  // Called with each output file's temporary written and not yet renamed over it (tests
  // interrupt the program here).
  std::function<void()> beforeOutputRename = {};
};

// Runs vesk-update with `argv` (argv[0] the program name, every argument UTF-8). Returns
// the exit status: 0 successful, 1 failed, 2 cancelled, 3 board initialized but an
// output file not written, 64 usage error, 65 bad input, 69 no board attached (nothing
// touched), 70 an unexpected exception (printed as one line; the outputs decided are
// still written), 128 + the signal's number when a stop request
// (device/stop_request.h) ended an unfinished run. The outputs are checked before the
// board is touched and written even after an interruption. The working directory is
// changed by -C for the run and restored before returning.
int RunConsole(int argc, const char* const* argv, ConsoleEnvironment& environment);

}  // namespace vesk::console
