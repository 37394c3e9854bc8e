#pragma once
// The command line of vesk-update: what it asks for, read into one plain struct, and the
// rules between its options.

#include <optional>
#include <string>
#include <string_view>

#include "vesk_version.h"

namespace vesk::console {

// Without a subcommand: the run that initialises the board.
enum class Command { Run, List, Read, Info, Verify, Restore };

// Read, info, verify and restore: the subcommands that open one board for its EEPROM
// (board_commands.h). Neither the run nor list is one.
bool IsEepromCommand(Command command);
// The subcommand's name as typed ("read"); empty for the run.
std::string_view CommandName(Command command);

inline constexpr std::string_view kVersion = "vesk-update " VESK_VERSION;
inline constexpr unsigned kMaxEmulatedBoards = 64;
inline constexpr double kDefaultWaitBoot = 30;

struct Options {
  Command command = Command::Run;
  // The back end; "emulated" whenever --emulated-boards is given.
  std::string board;
  // --board as typed; empty without it.
  std::string boardNamed;
  bool emulatedBoardsGiven = false;
  std::string directory;
  bool yes = false;
  std::string logFile;
  std::string eepromIn;
  std::string eepromOut;
  std::string backupFile;
  std::string commandFile;  // read FILE, restore FILE
  std::string device;
  bool all = false;
  unsigned emulatedBoards = 1;
  std::string report;
  std::string reportAppend;
  std::optional<double> waitSeconds;          // set by --wait; infinity without a value
  std::optional<std::string> waitUnreadable;  // --wait's value when it is no number of seconds
  int verbosity = 0;   // -v: each request and the debugger lines; -vv: the USB library's too
  bool quiet = false;  // -q: the verdict line and the cause only
  bool json = false;   // list, info, verify: one JSON document
  bool forceBoard = false;
  // How long the board is watched through its power cycle (--wait-boot, and by default
  // with --yes on the usb board); none: the operator answers.
  std::optional<double> waitBootSeconds;
  std::optional<std::string> waitBootUnreadable;  // the same for --wait-boot
};

// What the command line asks for: the options of a run or subcommand, or a text to print
// on standard output with status 0 (--help, --version), or, when CLI11 cannot read it, the
// usage error's message.
struct CommandLine {
  std::optional<Options> options;
  std::string text;
  std::string usageError;
};

// `defaultBoard` is what --board means when it is not given (and what --help says).
CommandLine ParseOptions(int argc, const char* const* argv, std::string_view defaultBoard);

// The first rule between the options that `options` breaks, as its usage error message;
// nothing when it keeps them all. Rules that need more than the options (the working
// directory of -C, the output files, the EEPROM image, the back end, the board list) are
// checked where those are at hand.
std::optional<std::string> BrokenOptionRule(const Options& options);

}  // namespace vesk::console
