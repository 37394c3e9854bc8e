#include "app/console/console_app.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/console/board_choice.h"
#include "app/console/board_commands.h"
#include "app/console/board_runs.h"
#include "app/console/board_terminal.h"
#include "app/console/console_bus.h"
#include "app/console/console_host.h"
#include "app/console/console_options.h"
#include "app/console/console_outputs.h"
#include "app/console/output_file.h"
#include "app/console/progress_bar.h"
#include "app/console/request_trace.h"
#include "app/console/run_report.h"
#include "app/console/terminal.h"
#include "device/debug_output.h"
#include "device/stop_request.h"
#include "images/image_downloads.h"
#include "images/preflight.h"

namespace vesk::console {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Restores the working directory that -C changed, on every way out.
class DirectoryChange {
 public:
  ~DirectoryChange() {
    if (saved_) {
      std::error_code error;
      fs::current_path(*saved_, error);
    }
  }
  bool Enter(const std::string& directory, std::error_code& error) {
    saved_ = fs::current_path(error);
    if (error) {
      saved_.reset();
      return false;
    }
    fs::current_path(PathFromUtf8(directory), error);
    return !error;
  }

 private:
  std::optional<fs::path> saved_;
};

int UsageError(ConsoleEnvironment& env, const std::string& message) {
  env.err << "vesk-update: " << message << "\nRun with --help for the options.\n";
  return kExitUsage;
}

// What a run will do, before it asks: the board, the image folder, each file's size and
// room.
void PrintPlan(ConsoleEnvironment& env, const Options& options, const BoardInfo* chosen,
               const ImageSnapshot& images) {
  std::error_code error;
  env.err << "Board: ";
  if (options.all)
    env.err << "every attached board (--all)";
  else if (chosen != nullptr && chosen->vendorId != 0)
    env.err << chosen->path << ", " << IdentityText(chosen->vendorId, chosen->productId) << ", "
            << BoardStateText(chosen->state);
  else if (chosen != nullptr)
    env.err << chosen->path << ", not attached";
  else
    env.err << "the first board with 04B4:8613 or 125C:0010 (--board=" << options.board << ")";
  env.err << "\nImages: " << fs::current_path(error).string() << "\n";
  for (const ImageFileCheck& check : CheckImageSnapshot(images))
    env.err << "  " << check.file << ": " << check.bytes << " bytes of " << check.room << "\n";
  env.err << std::flush;
}

// A board is attached; with --device, the chosen one.
bool WantedBoardThere(const std::vector<BoardInfo>& boards, const Options& options) {
  return options.device.empty() ? !boards.empty() : ChosenPath(boards, options.device).has_value();
}

// Lists the boards until one is there (the chosen one, with --device PATH) or the limit
// has passed.
std::vector<BoardInfo> WaitForBoard(ConsoleEnvironment& env, CameraDriver& driver,
                                    const Options& options) {
  const auto limit = std::chrono::duration<double>(*options.waitSeconds);
  const Clock::time_point start = Clock::now();
  bool told = false;
  for (;;) {
    std::vector<BoardInfo> boards = driver.ListBoards();
    if (WantedBoardThere(boards, options)) return boards;
    const auto left = limit - (Clock::now() - start);
    if (left.count() <= 0 || StopRequested()) return boards;
    if (!told) {
      env.err << "Waiting for a board to be attached...\n" << std::flush;
      told = true;
    }
    driver.WaitForBoardChange(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::min<std::chrono::duration<double>>(left, std::chrono::seconds(1))));
  }
}

// The boards listed, the one chosen (if one is), its emulated board, and the image
// files as the run reads them once.
struct Choice {
  std::vector<BoardInfo> boards;
  std::optional<BoardInfo> board;
  EmulatedSlot* slot = nullptr;
  ImageSnapshot images;

  // Whether the board to be opened was attached when the boards were listed.
  bool BoardListed() const { return board && board->vendorId != 0; }
};

// Which board: the one named, every one, or the only one. Several and no choice touches
// none of them: they are listed, and the usage status is returned.
std::optional<int> ChooseBoard(ConsoleEnvironment& env, const Options& options,
                               const std::vector<BoardInfo>& boards,
                               std::optional<BoardInfo>& chosen) {
  if (!options.device.empty()) {
    const std::optional<std::string> path = ChosenPath(boards, options.device);
    // A board that is not there fails the run at its open, as no board does.
    const std::string wanted = path.value_or(options.device);
    for (const BoardInfo& board : boards)
      if (board.path == wanted) chosen = board;
    if (!chosen) {
      chosen.emplace();
      chosen->path = wanted;
    }
  } else if (boards.size() > 1 && !options.all) {
    env.err << "vesk-update: " << boards.size()
            << " boards are attached; choose one with --device PATH|N, or all with --all:\n";
    for (std::size_t i = 0; i < boards.size(); ++i) env.err << BoardLine(i, boards[i]) << "\n";
    return kExitUsage;
  } else if (boards.size() == 1) {
    chosen = boards.front();
  }
  return std::nullopt;
}

// list: the boards on standard output, one line each or one JSON document.
int ListBoards(ConsoleEnvironment& env, const Options& options,
               const std::vector<BoardInfo>& boards) {
  if (options.json)
    env.out << BoardListJson(boards, kVersion.substr(kVersion.rfind(' ') + 1));
  else
    for (std::size_t i = 0; i < boards.size(); ++i) env.out << BoardLine(i, boards[i]) << "\n";
  if (boards.empty()) env.err << "No board attached (looked for 04B4:8613 and 125C:0010).\n";
  // A wait that ended without the board is no listing of it.
  return options.waitSeconds && !WantedBoardThere(boards, options) ? kExitNoBoard : kExitSucceeded;
}

// The report's record of this run, before anything ran.
RunReport StartReport() {
  RunReport report;
  report.version = std::string(kVersion.substr(kVersion.rfind(' ') + 1));
  report.started = IsoUtc(std::chrono::system_clock::now());
  report.host = HostName();
  {
    std::error_code error;
    report.imagesDir = fs::absolute(fs::current_path(error), error).string();
  }
  return report;
}

// The debugger lines: on standard error with -v; otherwise where the platform sends them
// (the debugger on Windows) or nowhere, since the cause line says what they say. The
// sink they had before comes back when this ends.
class DebugLines {
 public:
  DebugLines(ConsoleEnvironment& env, const Options& options, ProgressBar& progress)
      : previous_(SetDebugSink({})) {
    if (options.verbosity > 0)
      SetDebugSink([&env, &progress](std::string_view message) {
        progress.Clear();
        env.err << message << "\n" << std::flush;
      });
    else
      SetDebugSink(previous_ ? previous_ : [](std::string_view) {});
  }
  DebugLines(const DebugLines&) = delete;
  DebugLines& operator=(const DebugLines&) = delete;
  ~DebugLines() { SetDebugSink(previous_); }

 private:
  DebugSink previous_;
};

// The subcommand, the run on every board (--all), or the run on the one board; the exit
// status. The run on one board goes into `report`.
int Dispatch(ConsoleEnvironment& env, const Options& options, CameraDriver& driver,
             ProgressBar& progress, EmulatedBus* emulatedBus, const Choice& choice,
             RunReport& report) {
  const std::vector<BoardInfo>& boards = choice.boards;
  const std::optional<BoardInfo>& chosen = choice.board;
  EmulatedSlot* slot = choice.slot;
  const ImageSnapshot& images = choice.images;
  int status = kExitSucceeded;
  if (IsEepromCommand(options.command)) {
    CommandContext context{env, driver, progress, options.yes, options.json};
    if (options.command == Command::Read) status = ReadCommand(context, options.commandFile);
    if (options.command == Command::Info) status = InfoCommand(context, !options.directory.empty());
    if (options.command == Command::Verify) status = VerifyCommand(context);
    if (options.command == Command::Restore) status = RestoreCommand(context, options.commandFile);
  } else if (options.all && !boards.empty()) {
    status = RunAllBoards(env, options, emulatedBus, boards, images, report);
  } else {
    ConsoleTerminal terminal(env, progress);
    ConsoleHost host(env, options, images, slot, progress, terminal, options.backupFile);
    host.SetQuiet(options.quiet);
    BoardOutcome outcome = RunBoard(host, driver, chosen ? &*chosen : nullptr, slot, images);
    status = ExitStatusOf(outcome.outcome);
    // No board to open: the run failed at its first step and touched nothing.
    if (status == kExitFailed && !choice.BoardListed() &&
        outcome.report.error.value_or("").rfind("Error 0x1 ", 0) == 0)
      status = kExitNoBoard;
    report.boards.push_back(std::move(outcome.report));
  }
  return status;
}

// The subcommand or the run, with the progress bar, the debugger lines and (-v) each
// request on standard error. An unexpected exception ends it with the internal error's
// status; the outputs decided are still written.
int RunChosen(ConsoleEnvironment& env, const Options& options, CameraDriver& chosenDriver,
              EmulatedBus* emulatedBus, const Choice& choice, RunReport& report) {
  CameraDriver* driver = &chosenDriver;
  ProgressBar progress(env.err, env.errIsTerminal && !options.quiet, env.terminalColumns);
  const DebugLines debugLines(env, options, progress);
  std::optional<TracingDriver> tracer;
  if (options.verbosity > 0) {
    tracer.emplace(*driver, [&env, &progress](const std::string& line) {
      progress.Clear();
      env.err << line << "\n" << std::flush;
    });
    driver = &*tracer;
  }
  try {
    return Dispatch(env, options, *driver, progress, emulatedBus, choice, report);
  } catch (const std::exception& failure) {
    // What has been decided is still written below; the status tells it was not a run.
    env.out.flush();
    env.err << "vesk-update: internal error: " << failure.what() << "\n" << std::flush;
    return kExitInternalError;
  }
}

// A stop request ended an unfinished run: the signal's status, and what became of the
// board.
int InterruptedStatus(ConsoleEnvironment& env, int status) {
  const bool touched = status != kExitCancelled;
  status = env.interruptionStatus ? env.interruptionStatus() : kExitInterrupted;
  if (status == 0) status = kExitInterrupted;
  env.err << (touched ? "vesk-update: interrupted; the run stopped between two requests. The "
                        "board must be initialized again.\n"
                      : "vesk-update: interrupted before the board was touched.\n")
          << std::flush;
  return status;
}

int RunConsoleUnguarded(int argc, const char* const* argv, ConsoleEnvironment& env);

}  // namespace

int RunConsole(int argc, const char* const* argv, ConsoleEnvironment& env) {
  try {
    return RunConsoleUnguarded(argc, argv, env);
  } catch (const std::exception& failure) {
    env.err << "vesk-update: internal error: " << failure.what() << "\n" << std::flush;
  } catch (...) {
    env.err << "vesk-update: internal error\n" << std::flush;
  }
  return kExitInternalError;
}

namespace {

int RunConsoleUnguarded(int argc, const char* const* argv, ConsoleEnvironment& env) {
  const CommandLine commandLine = ParseOptions(argc, argv, env.defaultBoard);
  if (!commandLine.options) {
    if (!commandLine.usageError.empty()) return UsageError(env, commandLine.usageError);
    env.out << commandLine.text;  // --help, --version
    return kExitSucceeded;
  }
  const Options& options = *commandLine.options;
  if (const std::optional<std::string> broken = BrokenOptionRule(options))
    return UsageError(env, *broken);

  DirectoryChange directory;
  if (!options.directory.empty()) {
    std::error_code error;
    if (!directory.Enter(options.directory, error))
      return UsageError(env,
                        "cannot change to directory " + options.directory + ": " + error.message());
  }
  if (const std::optional<std::string> problem = OutputProblem(options))
    return UsageError(env, *problem);

  ConsoleBus bus;
  if (const std::optional<std::string> problem = MakeBus(env, options, bus))
    return UsageError(env, *problem);
  CameraDriver* driver = bus.driver;

  Choice choice;
  choice.boards = options.waitSeconds ? WaitForBoard(env, *driver, options) : driver->ListBoards();
  if (options.command == Command::List) return ListBoards(env, options, choice.boards);
  if (const std::optional<int> status = ChooseBoard(env, options, choice.boards, choice.board))
    return *status;
  if (bus.emulated)
    choice.slot =
        choice.board ? bus.emulated->ByPath(choice.board->path) : bus.emulated->slots.front().get();

  RunReport report = StartReport();
  std::optional<ChosenBoardDriver> oneBoard;
  if (choice.board && (choice.boards.size() > 1 || !options.device.empty())) {
    oneBoard.emplace(*driver, choice.board->path);
    driver = &*oneBoard;
  }
  if (options.command == Command::Run) {
    choice.images = TakeImageSnapshot("");
    // Nothing is opened unless every image file is fit to be written.
    if (!ImageFilesReady(env, choice.images)) return kExitBadInput;
    if (!options.quiet)
      PrintPlan(env, options, choice.board ? &*choice.board : nullptr, choice.images);
  }

  int status = RunChosen(env, options, *driver, bus.emulated.get(), choice, report);
  if (IsEepromCommand(options.command) && status == kExitFailed && !choice.BoardListed())
    status = kExitNoBoard;
  const bool allBoards = options.all && !choice.boards.empty();
  if (choice.slot != nullptr && !allBoards && !options.quiet && !options.json)
    env.out << "Simulated board time: " << Seconds(choice.slot->BoardTime()) << "\n";
  if (status != kExitSucceeded && StopRequested()) status = InterruptedStatus(env, status);

  const bool outputsWritten = WriteOutputs(env, options, report, choice.slot);
  if (!outputsWritten && status == kExitSucceeded) status = kExitOutputNotWritten;
  return status;
}

}  // namespace

}  // namespace vesk::console
