#include "app/console/board_runs.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <ostream>
#include <thread>

#include "app/console/board_choice.h"
#include "app/console/board_terminal.h"
#include "app/console/progress_bar.h"
#include "app/console/request_trace.h"
#include "device/debug_output.h"
#include "device/device_connection.h"
#include "device/usb/usb_camera_driver.h"
#include "images/sha256.h"

namespace vesk::console {
namespace {

using Clock = std::chrono::steady_clock;

std::string_view VerdictOf(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::Succeeded:
      return "successful";
    case RunOutcome::Failed:
      return "failed";
    case RunOutcome::Cancelled:
      return "cancelled";
  }
  return "";
}

}  // namespace

int ExitStatusOf(RunOutcome outcome) {
  return outcome == RunOutcome::Succeeded ? kExitSucceeded
         : outcome == RunOutcome::Failed  ? kExitFailed
                                          : kExitCancelled;
}

namespace {

std::optional<std::string> ErrorLine(std::string_view log) {
  const std::size_t at = log.find("Error 0x");
  if (at == std::string_view::npos) return std::nullopt;
  const std::size_t end = log.find("\r\n", at);
  return std::string(log.substr(at, end == std::string_view::npos ? end : end - at));
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

}  // namespace

BoardOutcome RunBoard(ConsoleHost& host, CameraDriver& driver, const BoardInfo* chosen,
                      const EmulatedSlot* emulated, const ImageSnapshot& images) {
  const Clock::time_point start = Clock::now();
  UpdateState state;
  state.handle.driver = &driver;
  BoardOutcome result;
  host.WatchPowerCycleThrough(driver, state.devicePath);
  result.outcome = RunBoardInitialization(host, state);
  CloseCameraDevice(state.handle);  // a failed run leaves it open; the process ends here
  host.Finish();

  BoardReport& report = result.report;
  report.path = state.devicePath[0] != '\0' ? std::string(state.devicePath.data())
                : chosen != nullptr         ? chosen->path
                                            : std::string();
  if (chosen != nullptr && chosen->vendorId != 0)
    report.identity = IdentityText(chosen->vendorId, chosen->productId);
  report.verdict = VerdictOf(result.outcome);
  report.log = host.FinalLog();
  report.error = ErrorLine(report.log);
  report.detail = host.Detail();
  // The bytes that were written, as read before the run: not the file as it is now.
  for (const auto& [file, bytes] : host.WrittenImages()) {
    for (const ImagePlace* place : kImagePlaces) {
      if (*place->file != file) continue;
      report.images.push_back({file, bytes, Sha256Hex(images.Of(*place).bytes), place->chip,
                               place->bank, place->offset});
    }
  }
  // The header is written when the run goes on to close the connection.
  if (report.log.find("Closing camera connection\r\n") != std::string::npos)
    report.header = Hex(state.header.Encode());
  report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (emulated != nullptr) report.boardSeconds = SecondsOf(emulated->BoardTime());
  return result;
}

namespace {

std::string Padded(std::string text, std::size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text;
}

// Each board's own driver, state and log: an emulated board on a bus of its own, a real
// one through a back end of its own, opened only at the board's path and, with -v, telling
// of each request with the board's prefix.
class BoardDrivers {
 public:
  BoardDrivers(ConsoleEnvironment& env, const Options& options, EmulatedBus* emulated,
               const std::vector<BoardInfo>& boards, SharedOutput& shared) {
    for (const BoardInfo& board : boards) {
      CameraDriver* inner = nullptr;
      if (emulated != nullptr) {
        // A bus of its own with just this board, under its own number.
        const std::size_t number = std::stoul(board.path.substr(board.path.find(':') + 1));
        sources_.push_back(std::make_unique<sim::board::EmulatedBoardSource>());
        sources_.back()->Add(emulated->slots.at(number)->board, number);
        drivers_.push_back(std::make_unique<usb::UsbCameraDriver>(*sources_.back()));
        inner = drivers_.back().get();
      } else {
        backEnds_.push_back(env.makeBackEnd(options.board));
        inner = &backEnds_.back()->Driver();
      }
      drivers_.push_back(std::make_unique<ChosenBoardDriver>(*inner, board.path));
      run_.push_back(drivers_.back().get());
      if (options.verbosity == 0) continue;
      drivers_.push_back(std::make_unique<TracingDriver>(
          *drivers_.back(), [&shared, &env, prefix = board.path + ": "](const std::string& line) {
            shared.Print([&] { env.err << prefix << line << "\n" << std::flush; });
          }));
      run_.back() = drivers_.back().get();
    }
  }

  // The driver the run of board `index` uses.
  CameraDriver& operator[](std::size_t index) const { return *run_[index]; }

 private:
  std::vector<std::unique_ptr<sim::board::EmulatedBoardSource>> sources_;
  std::vector<std::unique_ptr<BackEnd>> backEnds_;  // real back ends, one per board
  std::vector<std::unique_ptr<CameraDriver>> drivers_;  // each but a bus wraps the one before
  std::vector<CameraDriver*> run_;
};

// One board's run beside the others, on its own thread. An exception loses this board's
// run only; the others, and the outputs, go on.
BoardOutcome RunBesideOthers(ConsoleEnvironment& env, const Options& options,
                             const ImageSnapshot& images, EmulatedBus* emulated,
                             const BoardInfo& board, std::size_t index, CameraDriver& driver,
                             SharedOutput& shared) {
  BoardOutcome outcome;
  try {
    const std::string prefix = board.path + ": ";
    if (options.verbosity > 0)
      SetThreadDebugSink([&shared, &env, prefix](std::string_view message) {
        shared.Print([&] { env.err << prefix << message << "\n" << std::flush; });
      });
    EmulatedSlot* slot = emulated != nullptr ? emulated->ByPath(board.path) : nullptr;
    ProgressBar noBar(env.err, false, {});  // bars of several boards would overwrite each other
    ConsoleTerminal terminal(env, noBar);
    SharedTerminal boardTerminal(terminal, shared, prefix, index, options.quiet);
    ConsoleHost host(env, options, images, slot, noBar, boardTerminal, "");
    host.SetQuiet(options.quiet);
    outcome = RunBoard(host, driver, &board, slot, images);
  } catch (const std::exception& failure) {
    outcome.outcome = RunOutcome::Failed;
    outcome.report.path = board.path;
    outcome.report.verdict = "failed";
    outcome.report.detail = std::string("internal error: ") + failure.what();
    shared.Print([&] {
      env.err << board.path << ": vesk-update: internal error: " << failure.what() << "\n"
              << std::flush;
    });
  }
  shared.questions.Leave();
  SetThreadDebugSink({});
  return outcome;
}

// The summary: one row per board.
void PrintSummary(ConsoleEnvironment& env, const std::vector<BoardInfo>& boards,
                  const std::vector<BoardOutcome>& outcomes, bool emulated) {
  std::size_t pathWidth = 5;
  for (const BoardInfo& board : boards) pathWidth = std::max(pathWidth, board.path.size());
  env.out << "\n"
          << Padded("Board", pathWidth) << "  " << Padded("Verdict", 10) << "  "
          << Padded("Time", 9) << "  Error\n";
  for (std::size_t i = 0; i < boards.size(); ++i) {
    const BoardReport& board = outcomes[i].report;
    env.out << Padded(boards[i].path, pathWidth) << "  " << Padded(board.verdict, 10) << "  "
            << Padded(Seconds(board.boardSeconds ? *board.boardSeconds : board.seconds), 9) << "  "
            << board.error.value_or("-") << "\n";
  }
  if (emulated) env.out << "Time: simulated board time of each board.\n";
  env.out.flush();
}

}  // namespace

int RunAllBoards(ConsoleEnvironment& env, const Options& options, EmulatedBus* emulated,
                 const std::vector<BoardInfo>& boards, const ImageSnapshot& images,
                 RunReport& report) {
  SharedOutput shared(static_cast<int>(boards.size()),
                      env.errIsTerminal && !options.quiet ? &env.err : nullptr,
                      env.terminalColumns);
  const BoardDrivers drivers(env, options, emulated, boards, shared);
  std::vector<BoardOutcome> outcomes(boards.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < boards.size(); ++i)
    threads.emplace_back([&, i] {
      outcomes[i] =
          RunBesideOthers(env, options, images, emulated, boards[i], i, drivers[i], shared);
    });
  for (std::thread& thread : threads) thread.join();
  shared.EndBlock();  // the summary tells how each board ended

  bool allSucceeded = true, anyFailed = false;
  for (const BoardOutcome& outcome : outcomes) {
    allSucceeded = allSucceeded && outcome.outcome == RunOutcome::Succeeded;
    anyFailed = anyFailed || outcome.outcome == RunOutcome::Failed;
    report.boards.push_back(outcome.report);
  }
  const int status = allSucceeded ? kExitSucceeded : anyFailed ? kExitFailed : kExitCancelled;
  if (!options.quiet) PrintSummary(env, boards, outcomes, emulated != nullptr);
  return status;
}

}  // namespace vesk::console
