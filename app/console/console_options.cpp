#include "app/console/console_options.h"

#include <CLI/CLI.hpp>
#include <array>
#include <cmath>
#include <limits>
#include <sstream>
#include <vector>

namespace vesk::console {

bool IsEepromCommand(Command command) {
  return command != Command::Run && command != Command::List;
}

std::string_view CommandName(Command command) {
  switch (command) {
    case Command::Run:
      return "";
    case Command::List:
      return "list";
    case Command::Read:
      return "read";
    case Command::Info:
      return "info";
    case Command::Verify:
      return "verify";
    case Command::Restore:
      return "restore";
  }
  return "";
}

namespace {

// A number of seconds as --wait and --wait-boot take it: not negative, and finite when
// `finite`. Nothing when `text` is no such number.
std::optional<double> SecondsValue(const std::string& text, bool finite) {
  double seconds = 0;
  std::istringstream stream(text);
  if (!(stream >> seconds) || !stream.eof() || !(seconds >= 0) || (finite && std::isinf(seconds)))
    return std::nullopt;
  return seconds;
}

// What the declarations leave to be read after the parse: the options whose presence
// counts, and the optional values of --wait and --wait-boot.
struct RawOptions {
  CLI::Option* board = nullptr;
  CLI::Option* emulatedBoards = nullptr;
  CLI::Option* wait = nullptr;
  CLI::Option* waitBoot = nullptr;
  std::vector<std::string> waitValue;
  std::vector<std::string> waitBootValue;
};

constexpr std::string_view kFooter =
    "Without a subcommand vesk-update initializes the board. Before it asks anything it "
    "checks the six image files (present, regular, not empty, within their room, "
    "tarsel_usb.iic a boot image) and shows the plan on standard error; a problem ends it "
    "with status 65 before the board is opened. After a failure the cause follows the "
    "status log on standard error.\n"
    "list --json, info --json and verify --json print one JSON document with the run "
    "report's field names; bytes of a name that are not UTF-8 appear as \\xHH.\n"
    "Every subcommand but list, like a run, loads the control firmware into the board; the board "
    "goes back to its own firmware at its next power cycle. With --board=emulated they "
    "work on the EEPROM of --eeprom-in and save it with --eeprom-out.\n"
    "Questions are asked on standard error and answered on standard input: y or yes is Yes, "
    "anything else or the end of input is No.\n"
    "With --board=emulated the board is power-cycled at the power-cycle question and answers "
    "it by itself, --yes or not: Yes when its LED blinks (twice within 3 s), No when it "
    "does not start.\n"
    "With more than one board attached, choose one with --device (for the run and every "
    "subcommand) or take all with --all (the run only); otherwise nothing is touched and "
    "the boards are listed.\n"
    "The six image files are read once, before the first question: a file changed "
    "afterwards changes nothing of the run, and the report's SHA-256 is of the bytes "
    "written.\n"
    "--log, --eeprom-out, --backup, --report and read's FILE are checked before a board is "
    "touched and replaced whole: a failed write leaves the old file as it was, and the new "
    "one keeps the old one's mode (a hard link to it keeps the old content). A read-only "
    "file is refused, and so is an output that is an input (an image file, --eeprom-in, "
    "restore's FILE) or another output (exit status 64, naming both). --report-append only "
    "ever appends.\n"
    "Before the first write the run checks that the board is the camera's: every bank of "
    "both EEPROM chips answers, and chip 0 bank 0 is erased or holds a boot image for "
    "04B4:8613, 125C:0010 or the identity of the new tarsel_usb.iic; otherwise Error 0x2 "
    "and nothing is written, unless --force-board.\n"
    "SIGINT, SIGTERM or SIGHUP (Windows: Ctrl+C, Ctrl+Break, closing the console) stops "
    "the run (with --all: every board's run) before its next request; the outputs are "
    "still written. A second one ends the program at once, removing its temporary files.\n"
    "Exit status: 0 successful (with --all: every board; verify: everything matches), 1 "
    "failed (verify: something differs), 2 cancelled, 3 board initialized but an output "
    "file not written, 64 usage error or more than one board attached and none chosen, 65 "
    "bad input (an image file, or a restore image of the wrong size), 69 no board attached "
    "(or none came within --wait; nothing touched), 70 internal error, 130 interrupted by "
    "SIGINT (Ctrl+C, Ctrl+Break), 143 by SIGTERM, 129 by SIGHUP (console closed).";

// The program's own options, in the order --help lists them.
void DeclareOptions(CLI::App& app, Options& options, std::string_view defaultBoard,
                    RawOptions& raw) {
  raw.board =
      app.add_option("--board", options.board,
                     "emulated (the built-in emulated boards), usb (user-space USB), or driver "
                     "(the camera's kernel driver, Windows only); default: " +
                         std::string(defaultBoard))
          ->check(CLI::IsMember({"emulated", "usb", "driver"}));
  app.add_option("-C", options.directory,
                 "change to DIR first; the image files and every relative path are read there")
      ->option_text("DIR");
  app.add_flag("-y,--yes", options.yes, "answer Yes to both questions");
  app.add_option("--log", options.logFile, "write the final status log to FILE, byte for byte")
      ->option_text("FILE");
  CLI::Option* deviceOption =
      app.add_option("-d,--device", options.device,
                     "the board to use: its path as `list` prints it, or its index N in that "
                     "list; needed when more than one board is attached")
          ->option_text("PATH|N");
  app.add_flag("--all", options.all,
               "every attached board at once, each on its own thread; the questions are "
               "asked once for all, a summary table follows")
      ->excludes(deviceOption);
  raw.emulatedBoards =
      app.add_option("--emulated-boards", options.emulatedBoards,
                     "attach N emulated boards, emulated:0 to emulated:N-1 (implies "
                     "--board=emulated); default 1")
          ->option_text("N")
          ->check(CLI::Range(1u, kMaxEmulatedBoards));
  app.add_option("--report", options.report,
                 "write a JSON record of the run to FILE (replaced whole, never half-written; "
                 "- for standard output)")
      ->option_text("FILE");
  app.add_option("--report-append", options.reportAppend,
                 "append the same record to FILE as one line (JSON Lines): the station's "
                 "history, locked while the line is added, so that runs at once keep every "
                 "line")
      ->option_text("FILE");
  raw.wait =
      app.add_option("--wait", raw.waitValue,
                     "wait for a board to be attached (without SECONDS: as long as it takes), "
                     "then go on")
          ->expected(0, 1)
          ->option_text("[=SECONDS]");
  raw.waitBoot =
      app.add_option("--wait-boot", raw.waitBootValue,
                     "usb board: at the power-cycle question wait up to SECONDS (default 30) "
                     "for the board to go away and come back with the identity the new "
                     "tarsel_usb.iic declares, and answer with what it did; on by default "
                     "with --yes")
          ->expected(0, 1)
          ->option_text("[=SECONDS]");
  app.add_option("--eeprom-in", options.eepromIn,
                 "emulated board only: start with this 393,216-byte EEPROM image (chip 0 banks "
                 "0-5, then chip 1 banks 0-5); without it the EEPROMs start erased")
      ->option_text("FILE");
  app.add_option("--eeprom-out", options.eepromOut,
                 "emulated board only: save the EEPROM contents after the run to FILE")
      ->option_text("FILE");
  app.add_option("--backup", options.backupFile,
                 "run only: read the whole EEPROM into FILE before the first write")
      ->option_text("FILE");
  CLI::Option* verboseOption = app.add_flag(
      "-v,--verbose", options.verbosity,
      "tell of each request on standard error (code, direction, chip, bank, offset, length, "
      "result, time) and show the debugger lines; twice (-vv): also the USB library's own "
      "messages");
  app.add_flag("-q,--quiet", options.quiet,
               "show only the verdict line and, after a failure, the cause")
      ->excludes(verboseOption);
  app.add_flag(
      "--json", options.json,
      "list, info and verify: print one JSON document on standard output instead of lines");
  app.add_flag("--force-board", options.forceBoard,
               "write a board that does not look like the camera's (a bank that does not "
               "answer, or a boot image of another product in chip 0 bank 0)");
  app.set_version_flag("-V,--version", std::string(kVersion));
  // Options given after a subcommand belong to the program as a whole.
  app.fallthrough();
  app.require_subcommand(0, 1);
}

// The subcommands, each with the Command it stands for.
std::array<std::pair<CLI::App*, Command>, 5> DeclareSubcommands(CLI::App& app, Options& options) {
  CLI::App* list = app.add_subcommand(
      "list",
      "list every attached board: index, path, identity (VID:PID), state and, through "
      "libusb, bus and port; touches no board");
  CLI::App* readCommand = app.add_subcommand(
      "read", "read the whole EEPROM (12 banks, 393,216 bytes, the --eeprom-out layout) into FILE");
  readCommand->add_option("FILE", options.commandFile, "where the image goes")->required();
  CLI::App* infoCommand = app.add_subcommand(
      "info",
      "show the ROM header and, for each region it marks present, its place, length and "
      "SHA-256; with -C DIR, whether each region matches its file there");
  CLI::App* verifyCommand = app.add_subcommand(
      "verify",
      "compare the EEPROM with the six image files of -C DIR and with the header a run "
      "writes for them; name each file that differs and its first differing place");
  CLI::App* restoreCommand = app.add_subcommand(
      "restore",
      "write a 393,216-byte EEPROM image (as read writes it) back to all 12 banks, the ROM "
      "header erased first and written last");
  restoreCommand->add_option("FILE", options.commandFile, "the image to write")->required();
  return {{{list, Command::List},
           {readCommand, Command::Read},
           {infoCommand, Command::Info},
           {verifyCommand, Command::Verify},
           {restoreCommand, Command::Restore}}};
}

}  // namespace

CommandLine ParseOptions(int argc, const char* const* argv, std::string_view defaultBoard) {
  Options options;
  options.board = std::string(defaultBoard);
  CLI::App app{
      "Initializes the camera's USB board: loads the control firmware, writes the BufCon, "
      "CamCon, FX2 and GPIF images and the ROM header into the board's EEPROM.",
      "vesk-update"};
  RawOptions raw;
  DeclareOptions(app, options, defaultBoard, raw);
  const auto commands = DeclareSubcommands(app, options);
  app.footer(std::string(kFooter));

  CommandLine result;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    result.text = app.help();
    return result;
  } catch (const CLI::CallForVersion&) {
    result.text = std::string(kVersion) + "\n";
    return result;
  } catch (const CLI::ParseError& error) {
    result.usageError = error.what();
    return result;
  }

  for (const auto& [subcommand, which] : commands)
    if (subcommand->parsed()) options.command = which;

  if (raw.wait->count() > 0) {
    if (raw.waitValue.empty() || raw.waitValue.front().empty())
      options.waitSeconds = std::numeric_limits<double>::infinity();
    else if (const std::optional<double> seconds = SecondsValue(raw.waitValue.front(), false))
      options.waitSeconds = seconds;
    else
      options.waitUnreadable = raw.waitValue.front();
  }
  if (raw.waitBoot->count() > 0) {
    if (raw.waitBootValue.empty() || raw.waitBootValue.front().empty())
      options.waitBootSeconds = kDefaultWaitBoot;
    else if (const std::optional<double> seconds = SecondsValue(raw.waitBootValue.front(), true))
      options.waitBootSeconds = seconds;
    else
      options.waitBootUnreadable = raw.waitBootValue.front();
  }
  if (raw.board->count() > 0) options.boardNamed = options.board;
  if (raw.emulatedBoards->count() > 0) {
    options.emulatedBoardsGiven = true;
    options.board = "emulated";
  }
  // Through libusb the board can be seen coming back: --yes does not answer for it.
  if (options.yes && options.board == "usb" && !options.waitBootSeconds &&
      !options.waitBootUnreadable)
    options.waitBootSeconds = kDefaultWaitBoot;
  result.options = std::move(options);
  return result;
}

namespace {

struct OptionRule {
  bool (*broken)(const Options&);
  std::string (*message)(const Options&);
};

bool EepromFiles(const Options& o) {
  return !o.eepromIn.empty() || !o.eepromOut.empty();
}
std::string Named(const Options& o) {
  return std::string(CommandName(o.command));
}

// In the order they are checked: the first one broken is the one told.
constexpr OptionRule kOptionRules[] = {
    {[](const Options& o) { return IsEepromCommand(o.command) && !o.logFile.empty(); },
     [](const Options& o) {
       return "--log belongs to a run; " + Named(o) + " writes no status log";
     }},
    {[](const Options& o) { return IsEepromCommand(o.command) && !o.backupFile.empty(); },
     [](const Options&) { return std::string("--backup belongs to a run; use read FILE"); }},
    {[](const Options& o) { return o.command == Command::Verify && o.directory.empty(); },
     [](const Options&) {
       return std::string("verify needs -C DIR, the folder of the image files");
     }},
    {[](const Options& o) { return IsEepromCommand(o.command) && o.all; },
     [](const Options& o) {
       return "--all belongs to a run; " + Named(o) + " takes one board, chosen with --device";
     }},
    {[](const Options& o) {
       return IsEepromCommand(o.command) && (!o.report.empty() || !o.reportAppend.empty());
     },
     [](const Options& o) { return "--report and --report-append record a run, not " + Named(o); }},
    {[](const Options& o) { return o.all && !o.backupFile.empty(); },
     [](const Options&) {
       return std::string("--backup writes one file; with --all choose a board with --device");
     }},
    {[](const Options& o) {
       return o.json && o.command != Command::List && o.command != Command::Info &&
              o.command != Command::Verify;
     },
     [](const Options&) { return std::string("--json is for list, info and verify"); }},
    {[](const Options& o) { return o.waitUnreadable.has_value(); },
     [](const Options& o) {
       return "--wait: " + *o.waitUnreadable + " is not a number of seconds";
     }},
    {[](const Options& o) { return o.waitBootUnreadable.has_value(); },
     [](const Options& o) {
       return "--wait-boot: " + *o.waitBootUnreadable + " is not a number of seconds";
     }},
    {[](const Options& o) {
       return o.emulatedBoardsGiven && !o.boardNamed.empty() && o.boardNamed != "emulated";
     },
     [](const Options&) { return std::string("--emulated-boards needs --board=emulated"); }},
    {[](const Options& o) { return o.waitBootSeconds && o.board == "driver"; },
     [](const Options&) {
       return std::string(
           "--wait-boot needs --board=usb: the kernel driver does not list the boards");
     }},
    {[](const Options& o) { return o.board != "emulated" && EepromFiles(o); },
     [](const Options&) {
       return std::string("--eeprom-in and --eeprom-out need --board=emulated");
     }},
    {[](const Options& o) { return o.all && (EepromFiles(o) || !o.logFile.empty()); },
     [](const Options&) {
       return std::string(
           "--log, --eeprom-in and --eeprom-out apply to one board, not to --all (--report "
           "records every board's log)");
     }},
    {[](const Options& o) { return EepromFiles(o) && o.emulatedBoards > 1 && o.device.empty(); },
     [](const Options&) {
       return std::string(
           "--eeprom-in and --eeprom-out apply to one board: with several emulated boards "
           "choose it with --device");
     }},
};

}  // namespace

std::optional<std::string> BrokenOptionRule(const Options& options) {
  for (const OptionRule& rule : kOptionRules)
    if (rule.broken(options)) return rule.message(options);
  return std::nullopt;
}

}  // namespace vesk::console
