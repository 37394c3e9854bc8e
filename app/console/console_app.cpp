#include "app/console/console_app.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <istream>
#include <iterator>
#include <limits>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/console/board_choice.h"
#include "app/console/terminal.h"
#include "app/console/board_commands.h"
#include "app/console/output_file.h"
#include "app/console/progress_bar.h"
#include "app/console/request_trace.h"
#include "app/console/run_report.h"
#include "app/console/shared_questions.h"
#include "run/power_cycle_watch.h"
#include "run/update_sequence.h"
#include "device/debug_output.h"
#include "device/device_connection.h"
#include "device/eeprom_reader.h"
#include "device/failure_detail.h"
#include "device/stop_request.h"
#include "device/usb/usb_camera_driver.h"
#include "images/camera_board.h"
#include "images/image_downloads.h"
#include "images/preflight.h"
#include "images/sha256.h"
#include "sim/board/emulated_board.h"
#include "vesk_version.h"

namespace vesk::console {
namespace {

namespace fs = std::filesystem;
using sim::SimTime;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kVersion = "vesk-update " VESK_VERSION;
// After the power cycle the emulated board is watched this long for its LED.
constexpr SimTime kLedWatch = 3000 * sim::kPicosPerMilli;
// Two blinks: on, off, on, off.
constexpr std::uint64_t kBlinkToggles = 4;
constexpr unsigned kMaxEmulatedBoards = 64;

struct Options {
  std::string board;
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
  std::optional<double> waitSeconds;  // set by --wait; infinity without a value
  int verbosity = 0;  // -v: each request and the debugger lines; -vv: the USB library's too
  bool quiet = false;  // -q: the verdict line and the cause only
  bool json = false;   // list, info, verify: one JSON document
  bool forceBoard = false;
  // How long the board is watched through its power cycle (--wait-boot); none: the
  // operator answers.
  std::optional<double> waitBootSeconds;
};

constexpr double kDefaultWaitBoot = 30;

double SecondsOf(SimTime picos) {
  return static_cast<double>(picos) / static_cast<double>(1000 * sim::kPicosPerMilli);
}

std::string Seconds(double seconds) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(3) << seconds << " s";
  return text.str();
}

std::string Seconds(SimTime picos) { return Seconds(SecondsOf(picos)); }

// Reads at most `limit` bytes of a regular file; anything else is not opened at all.
bool ReadBoundedFile(const fs::path& path, std::size_t limit, std::vector<std::uint8_t>& bytes) {
  std::error_code error;
  if (!fs::is_regular_file(path, error)) return false;
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  bytes.resize(limit);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(limit));
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return !file.bad();
}

// One emulated board: it is the board, so it can answer the power-cycle question by
// itself.
struct EmulatedSlot {
  sim::board::EmulatedBoard board;
  SimTime runTime = 0;
  std::optional<sim::board::BootReport> boot;
  std::uint64_t ledToggles = 0;
  SimTime watched = 0;

  // Power-cycles the board and watches its LED for up to kLedWatch; true when it blinks.
  bool PowerCycleAndWatch() {
    runTime = board.Now();
    boot = board.PowerCycle();
    constexpr SimTime kLook = 50 * sim::kPicosPerMilli;
    for (watched = 0; watched < kLedWatch && board.LedToggles() < kBlinkToggles; watched += kLook)
      board.RunFor(kLook);
    ledToggles = board.LedToggles();
    return ledToggles >= kBlinkToggles;
  }
  // The run's time on the board, up to the power cycle.
  SimTime BoardTime() const { return boot ? runTime : board.Now(); }
};

// The emulated boards on their bus, "emulated:0" to "emulated:N-1".
struct EmulatedBus {
  std::vector<std::unique_ptr<EmulatedSlot>> slots;
  sim::board::EmulatedBoardSource source;
  usb::UsbCameraDriver driver{source};
  std::function<void(const sim::board::EmulatedBoard&)> inspect;

  EmulatedBus(unsigned count, std::function<void(const sim::board::EmulatedBoard&)> inspector)
      : inspect(std::move(inspector)) {
    for (unsigned i = 0; i < count; ++i) {
      slots.push_back(std::make_unique<EmulatedSlot>());
      source.Add(slots.back()->board);
    }
  }
  EmulatedBus(const EmulatedBus&) = delete;
  EmulatedBus& operator=(const EmulatedBus&) = delete;
  ~EmulatedBus() {
    if (inspect)
      for (const auto& slot : slots) inspect(slot->board);
  }
  EmulatedSlot* ByPath(std::string_view path) {
    for (std::size_t i = 0; i < slots.size(); ++i)
      if (path == "emulated:" + std::to_string(i)) return slots[i].get();
    return nullptr;
  }
};

std::string_view BootText(sim::board::BootKind kind) {
  using sim::board::BootKind;
  switch (kind) {
    case BootKind::NoEeprom:
      return "found no boot EEPROM";
    case BootKind::NotBootable:
      return "found no boot image (bare FX2)";
    case BootKind::Identity:
      return "booted the C0 identity";
    case BootKind::Loaded:
      return "booted the C2 image";
    case BootKind::BadImage:
      return "found a broken C2 image";
  }
  return "";
}

// How a board's run shows on the terminal. Alone it prints as a single run always did;
// beside others (`shared` given) every line carries the board's path as its prefix,
// output from the boards' threads is serialised, and the questions are shared.
class ConsoleHost : public UpdateHost {
 public:
  struct Shared {
    std::mutex output;  // env.out and env.err
    SharedQuestions questions;
    // On a terminal: one progress line per board, kept below every other line and redrawn
    // in place. Null `terminal` when standard error is no terminal.
    std::ostream* terminal = nullptr;
    std::function<int()> columns = {};
    std::vector<std::string> block = {};
    std::size_t drawn = 0;

    // Runs `write` with the output lock held and the progress lines moved below what it
    // writes.
    template <class Write>
    void Print(Write&& write) {
      const std::lock_guard lock(output);
      ClearBlock();
      write();
      DrawBlock();
    }
    void SetBlockLine(std::size_t board, std::string text) {
      const std::lock_guard lock(output);
      if (terminal == nullptr || block.at(board) == text) return;
      block[board] = std::move(text);
      ClearBlock();
      DrawBlock();
    }
    void ClearBlock() {
      if (drawn == 0) return;
      *terminal << "\x1b[" << drawn << "F\x1b[J" << std::flush;  // up to the first, erase down
      drawn = 0;
    }

   private:
    void DrawBlock() {
      if (terminal == nullptr) return;
      // Never as wide as the terminal, which would wrap the line and miscount the block.
      const auto room = static_cast<std::size_t>(std::max(columns ? columns() : 80, 2) - 1);
      for (const std::string& line : block) {
        if (line.empty()) continue;
        *terminal << line.substr(0, room) << "\n";
        ++drawn;
      }
      *terminal << std::flush;
    }
  };

  ConsoleHost(ConsoleEnvironment& environment, const Options& options,
              const ImageSnapshot& images, EmulatedSlot* emulated, ProgressBar& progress,
              std::string backupFile, std::string prefix = {}, Shared* shared = nullptr)
      : env_(environment),
        yes_(options.yes),
        forceBoard_(options.forceBoard),
        waitBoot_(options.waitBootSeconds),
        images_(images),
        emulated_(emulated),
        progress_(progress),
        backupFile_(std::move(backupFile)),
        prefix_(std::move(prefix)),
        shared_(shared) {}

  // -q: the log is kept, and only its verdict line shown, by Finish.
  void SetQuiet(bool quiet) { quiet_ = quiet; }

  const ImageSnapshot* Images() const override { return &images_; }

  // Like every status line: beside other boards with the board's prefix, under -q not at
  // all.
  void ShowReadingFile(const std::string& file) override {
    if (quiet_) return;
    const std::string line = prefix_ + "Reading file " + file + ".\n";
    if (shared_ == nullptr) {
      ClearProgress();
      env_.out << line << std::flush;
      return;
    }
    shared_->Print([&] { env_.out << line << std::flush; });
  }

  void ShowStatusLog(const StatusLog& log) override {
    const std::string_view text = log.Text();
    if (text.size() < shown_) {  // a new run started the log afresh
      shown_ = 0;
      pending_.clear();
    }
    lineEnded_ = false;
    if (quiet_) {
      // Nothing yet: Finish shows the verdict line.
    } else if (shared_ == nullptr) {
      ClearProgress();
      for (char c : text.substr(shown_))
        if (c != '\r') env_.out << c;
      env_.out.flush();
    } else {
      shared_->Print([&] {
        for (char c : text.substr(shown_)) {
          if (c == '\r') continue;
          pending_ += c;
          if (c != '\n') continue;
          env_.out << (prefix_ + pending_);  // one write: other threads print whole lines too
          pending_.clear();
        }
        env_.out.flush();
      });
    }
    shown_ = text.size();
    lastLog_ = std::string(text);
  }

  // The board is watched through its power cycle at `path` of `driver` (--wait-boot).
  void WatchPowerCycleThrough(CameraDriver& driver, const std::array<char, 1024>& path) {
    watchDriver_ = &driver;
    watchPath_ = &path;
  }

  int AskYesNo(std::string_view text, std::string_view caption) override {
    ClearProgress();
    const bool powerCycle = text == kPowerCycleQuestion;
    if (powerCycle && emulated_ == nullptr && waitBoot_ && watchDriver_ != nullptr)
      return WatchBoot(text, caption);
    if (powerCycle && emulated_ != nullptr) {
      const bool blinks = emulated_->PowerCycleAndWatch();
      std::ostringstream line;
      line << prefix_ << "Emulated board power-cycled: " << BootText(emulated_->boot->kind)
           << ", LED toggled " << emulated_->ledToggles << " times in "
           << Seconds(emulated_->watched)
           << (blinks ? " (camera ready)" : " (camera not ready)") << "\n";
      if (!quiet_) Err(line.str());
      // The board answers what it showed; --yes answers only what nobody can see.
      return blinks ? kAnswerYes : kAnswerNo;
    }
    if (yes_) return kAnswerYes;
    if (shared_ == nullptr) return AskOperator(text, caption);
    return shared_->questions.Ask(text, [&] {
      int answer = kAnswerNo;
      shared_->Print([&] { answer = AskOperator(text, caption); });
      return answer;
    });
  }

  void ShowImageProgress(const std::string& file, std::uint32_t written,
                         std::uint32_t total) override {
    const bool finished = total != 0 && written == total &&
                          std::none_of(written_.begin(), written_.end(),
                                       [&](const auto& image) { return image.first == file; });
    if (finished) written_.emplace_back(file, total);
    ShowRunProgress(file, written, total, finished);
  }

  // Kept for the report and shown on standard error after the log.
  void ShowFailureDetail(std::string_view detail) override {
    detail_ = std::string(detail);
    if (shared_ == nullptr) {
      ClearProgress();
      EndLogLine();
      env_.out.flush();
    }
    Err(prefix_ + "vesk-update: " + *detail_ + "\n");
  }

  // The board must be the camera's before anything is written to it; then --backup: the
  // EEPROM as it is, into its file, before the run writes anything.
  bool BeforeFirstWrite(DeviceHandle& handle) override {
    if (!forceBoard_) {
      const std::string problem = CameraBoardProblem(handle, images_.Of(kFx2Place).bytes);
      if (!problem.empty()) {
        SetFailureDetail(problem + " (--force-board writes it all the same)");
        return false;
      }
    }
    if (backupFile_.empty()) return true;
    const std::vector<std::uint8_t> image = ReadWholeEeprom(
        handle, [&](std::uint32_t done) { progress_.Show("backup", done, kEepromImageSize); });
    ClearProgress();
    if (image.empty()) {
      SetFailureDetail("backup: " + FailureDetail());
      return false;
    }
    if (!WriteFileAtomically(PathFromUtf8(backupFile_),
                             {reinterpret_cast<const char*>(image.data()), image.size()})) {
      SetFailureDetail("backup: cannot write " + backupFile_);
      return false;
    }
    return true;
  }

  const std::optional<std::string>& Detail() const { return detail_; }
  const std::string& FinalLog() const { return lastLog_; }
  // The images written whole, in order: file name and length.
  const std::vector<std::pair<std::string, std::uint32_t>>& WrittenImages() const {
    return written_;
  }
  void Finish() {
    ClearProgress();
    if (quiet_) {
      const std::size_t lastLine = lastLog_.rfind('\n');
      std::string verdict = lastLog_.substr(lastLine == std::string::npos ? 0 : lastLine + 1);
      if (verdict.empty()) return;
      verdict = prefix_ + verdict + "\n";
      if (shared_ == nullptr)
        env_.out << verdict << std::flush;
      else
        shared_->Print([&] { env_.out << verdict << std::flush; });
      return;
    }
    if (shared_ == nullptr) {
      EndLogLine();
      env_.out.flush();
      return;
    }
    shared_->Print([&] {
      if (!pending_.empty()) env_.out << (prefix_ + pending_ + "\n");
      pending_.clear();
      env_.out.flush();
    });
  }

  // A line for standard error, whole.
  void Err(std::string_view line) {
    if (shared_ == nullptr) {
      env_.err << line << std::flush;
      return;
    }
    shared_->Print([&] { env_.err << line << std::flush; });
  }

  // Beside other boards on a terminal: this board's line in the progress block.
  void SetBlockLine(std::size_t line) { blockLine_ = line; }

 private:
  int AskOperator(std::string_view text, std::string_view caption) {
    env_.out.flush();  // the lines the question follows come first, also through a pipe
    env_.err << caption << "\n" << text << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(env_.in, answer)) {
      env_.err << "\n";
      return kAnswerNo;
    }
    // An answer that came through a pipe left the terminal on the question's line.
    if (env_.errIsTerminal && !env_.inIsTerminal) env_.err << "\n" << std::flush;
    return IsYesAnswer(answer) ? kAnswerYes : kAnswerNo;
  }

  void ClearProgress() { progress_.Clear(); }

  // The image's bar with the whole run's share and time left beside it; beside other boards,
  // whose bars would overwrite each other, one line per image written instead.
  void ShowRunProgress(const std::string& file, std::uint32_t written, std::uint32_t total,
                       bool finished) {
    const Clock::time_point now = Clock::now();
    if (!firstProgress_) firstProgress_ = now;
    runProgress_.Image(file, written, total,
                       std::chrono::duration<double>(now - *firstProgress_).count());
    if (shared_ == nullptr)
      progress_.Show(file, written, total, runProgress_.Text());
    else if (shared_->terminal != nullptr && !quiet_)
      shared_->SetBlockLine(blockLine_, prefix_ + file + " " +
                                            std::to_string(total ? written * 100ull / total : 100) +
                                            "%  " + runProgress_.Text());
    else if (finished && !quiet_)
      Err(prefix_ + file + " written, " + runProgress_.Text() + "\n");
  }

  // What the run writes: the six image files as they are now.
  std::uint64_t RunBytes() const {
    std::uint64_t bytes = 0;
    for (const ImageFileCheck& check : CheckImageSnapshot(images_)) bytes += check.bytes;
    return bytes;
  }
  // The log's last line has no line end of its own; the terminal gets one, once.
  void EndLogLine() {
    if (quiet_ || lastLog_.empty() || lastLog_.back() == '\n' || lineEnded_) return;
    env_.out << "\n";
    lineEnded_ = true;
  }

  // Shows the question, then answers it with what the board does: Yes once it has gone
  // and come back with the identity the written FX2 image declares.
  int WatchBoot(std::string_view text, std::string_view caption) {
    const std::optional<BootIdentity> expected =
        BootImageIdentity(images_.Of(kFx2Place).bytes);
    const std::chrono::duration<double> limit(*waitBoot_);
    const std::string path(watchPath_->data());
    if (!expected) {
      SetFailureDetail("the FX2 image declares no identity to wait for");
      return kAnswerNo;
    }
    const std::string identity = IdentityText(expected->vendorId, expected->productId);
    {
      std::ostringstream lines;
      lines << prefix_ << caption << "\n" << prefix_ << text << "\n"
            << prefix_ << "Waiting up to " << Seconds(limit.count()) << " for " << path
            << " to be power-cycled and come back as " << identity << "...\n";
      env_.out.flush();
      if (!quiet_) Err(lines.str());
    }
    const PowerCycleWatch watch = WatchPowerCycle(*watchDriver_, path, expected->vendorId,
                                                  expected->productId, limit, StopRequested);
    const std::string seen =
        PowerCycleText(watch, expected->vendorId, expected->productId, limit);
    if (!quiet_) Err(prefix_ + "Board " + path + " " + seen + "\n");
    if (watch.cameBack) return kAnswerYes;
    SetFailureDetail("the board " + seen);
    return kAnswerNo;
  }

  ConsoleEnvironment& env_;
  bool yes_;
  bool forceBoard_;
  std::optional<double> waitBoot_;
  CameraDriver* watchDriver_ = nullptr;
  const std::array<char, 1024>* watchPath_ = nullptr;
  const ImageSnapshot& images_;
  EmulatedSlot* emulated_;
  ProgressBar& progress_;
  std::string backupFile_;
  std::string prefix_;
  Shared* shared_;
  std::size_t shown_ = 0;
  std::string lastLog_;
  bool lineEnded_ = false;
  bool quiet_ = false;
  std::size_t blockLine_ = 0;
  RunProgress runProgress_{RunBytes()};
  std::optional<Clock::time_point> firstProgress_;
  std::string pending_;  // the part of a line not shown yet (prefixed output only)
  std::vector<std::pair<std::string, std::uint32_t>> written_;
  std::optional<std::string> detail_;
};

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

int ExitStatusOf(RunOutcome outcome) {
  return outcome == RunOutcome::Succeeded ? kExitSucceeded
         : outcome == RunOutcome::Failed  ? kExitFailed
                                          : kExitCancelled;
}

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

// One board's run and what the report keeps of it.
struct BoardOutcome {
  RunOutcome outcome = RunOutcome::Failed;
  BoardReport report;
};

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

std::string Padded(std::string text, std::size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text;
}

// Every chosen board at once, each on its own thread with its own driver, state and log.
int RunAllBoards(ConsoleEnvironment& env, const Options& options, EmulatedBus* emulated,
                 const std::vector<BoardInfo>& boards, const ImageSnapshot& images,
                 RunReport& report) {
  std::vector<std::unique_ptr<CameraDriver>> drivers;  // emulated: a bus per board
  std::vector<std::unique_ptr<BackEnd>> backEnds;     // real back ends, one per board
  std::vector<std::unique_ptr<sim::board::EmulatedBoardSource>> sources;
  std::vector<std::unique_ptr<CameraDriver>> chosenDrivers;
  for (const BoardInfo& board : boards) {
    CameraDriver* inner = nullptr;
    if (emulated != nullptr) {
      // A bus of its own with just this board, under its own number.
      const std::size_t number = std::stoul(board.path.substr(board.path.find(':') + 1));
      sources.push_back(std::make_unique<sim::board::EmulatedBoardSource>());
      sources.back()->Add(emulated->slots.at(number)->board, number);
      drivers.push_back(std::make_unique<usb::UsbCameraDriver>(*sources.back()));
      inner = drivers.back().get();
    } else {
      backEnds.push_back(env.makeBackEnd(options.board));
      inner = &backEnds.back()->Driver();
    }
    chosenDrivers.push_back(std::make_unique<ChosenBoardDriver>(*inner, board.path));
  }

  ConsoleHost::Shared shared{{}, SharedQuestions(static_cast<int>(boards.size()))};
  if (env.errIsTerminal && !options.quiet) {
    shared.terminal = &env.err;
    shared.columns = env.terminalColumns;
    shared.block.resize(boards.size());
  }
  // -v: each board's requests, prefixed like its lines.
  std::vector<std::unique_ptr<TracingDriver>> tracers;
  std::vector<CameraDriver*> runDrivers;
  for (std::size_t i = 0; i < boards.size(); ++i) {
    runDrivers.push_back(chosenDrivers[i].get());
    if (options.verbosity == 0) continue;
    tracers.push_back(std::make_unique<TracingDriver>(
        *chosenDrivers[i], [&shared, &env, prefix = boards[i].path + ": "](const std::string& line) {
          shared.Print([&] { env.err << prefix << line << "\n" << std::flush; });
        }));
    runDrivers.back() = tracers.back().get();
  }
  std::vector<BoardOutcome> outcomes(boards.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < boards.size(); ++i) {
    threads.emplace_back([&, i] {
      try {
        const std::string prefix = boards[i].path + ": ";
        if (options.verbosity > 0)
          SetThreadDebugSink([&shared, &env, prefix](std::string_view message) {
            shared.Print([&] { env.err << prefix << message << "\n" << std::flush; });
          });
        EmulatedSlot* slot = emulated != nullptr ? emulated->ByPath(boards[i].path) : nullptr;
        ProgressBar noBar(env.err, false, {});  // bars of several boards would overwrite each other
        ConsoleHost host(env, options, images, slot, noBar, "", prefix, &shared);
        host.SetQuiet(options.quiet);
        host.SetBlockLine(i);
        outcomes[i] = RunBoard(host, *runDrivers[i], &boards[i], slot, images);
      } catch (const std::exception& failure) {
        // The board's run is lost; the others, and the outputs, go on.
        outcomes[i].outcome = RunOutcome::Failed;
        outcomes[i].report.path = boards[i].path;
        outcomes[i].report.verdict = "failed";
        outcomes[i].report.detail = std::string("internal error: ") + failure.what();
        shared.Print([&] {
          env.err << boards[i].path << ": vesk-update: internal error: " << failure.what()
                  << "\n" << std::flush;
        });
      }
      shared.questions.Leave();
      SetThreadDebugSink({});
    });
  }
  for (std::thread& thread : threads) thread.join();
  shared.ClearBlock();  // the summary tells how each board ended
  shared.terminal = nullptr;

  bool allSucceeded = true, anyFailed = false;
  for (const BoardOutcome& outcome : outcomes) {
    allSucceeded = allSucceeded && outcome.outcome == RunOutcome::Succeeded;
    anyFailed = anyFailed || outcome.outcome == RunOutcome::Failed;
    report.boards.push_back(outcome.report);
  }
  const int status = allSucceeded ? kExitSucceeded : anyFailed ? kExitFailed : kExitCancelled;
  if (options.quiet) return status;

  // The summary: one row per board.
  std::size_t pathWidth = 5;
  for (const BoardInfo& board : boards) pathWidth = std::max(pathWidth, board.path.size());
  env.out << "\n"
          << Padded("Board", pathWidth) << "  " << Padded("Verdict", 10) << "  "
          << Padded("Time", 9) << "  Error\n";
  for (std::size_t i = 0; i < boards.size(); ++i) {
    const BoardReport& board = outcomes[i].report;
    env.out << Padded(boards[i].path, pathWidth) << "  " << Padded(board.verdict, 10) << "  "
            << Padded(Seconds(board.boardSeconds ? *board.boardSeconds : board.seconds), 9)
            << "  " << board.error.value_or("-") << "\n";
  }
  if (emulated != nullptr) env.out << "Time: simulated board time of each board.\n";
  env.out.flush();
  return status;
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

// The first output that is another output or an input, as a usage error naming both;
// empty when there is none. Inputs that do not exist cannot be overwritten, so only
// outputs are compared by the path they will have.
std::string OutputClash(const Options& options, bool readCommand, bool restoreCommand) {
  struct Named {
    std::string what;
    std::string path;
  };
  std::vector<Named> outputs, inputs;
  const auto output = [&](const char* option, const std::string& path) {
    if (!path.empty() && path != "-") outputs.push_back({std::string(option) + " " + path, path});
  };
  output("--log", options.logFile);
  output("--eeprom-out", options.eepromOut);
  output("--backup", options.backupFile);
  if (readCommand) output("read's FILE", options.commandFile);
  output("--report", options.report);
  output("--report-append", options.reportAppend);
  for (const ImagePlace* place : kImagePlaces)
    inputs.push_back({"the image file " + *place->file, *place->file});
  if (!options.eepromIn.empty())
    inputs.push_back({"--eeprom-in " + options.eepromIn, options.eepromIn});
  if (restoreCommand)
    inputs.push_back({"restore's FILE " + options.commandFile, options.commandFile});

  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const fs::path path = PathFromUtf8(outputs[i].path);
    for (std::size_t j = i + 1; j < outputs.size(); ++j)
      if (SameFile(path, PathFromUtf8(outputs[j].path)))
        return outputs[i].what + " and " + outputs[j].what + " are the same file";
    for (const Named& input : inputs) {
      std::error_code error;
      const fs::path inputPath = PathFromUtf8(input.path);
      if (fs::exists(inputPath, error) && SameFile(path, inputPath))
        return outputs[i].what + " is " + input.what + ": an output would destroy an input";
    }
  }
  return {};
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
  Options options;
  options.board = std::string(env.defaultBoard);
  CLI::App app{
      "Initializes the camera's USB board: loads the control firmware, writes the BufCon, "
      "CamCon, FX2 and GPIF images and the ROM header into the board's EEPROM.",
      "vesk-update"};
  CLI::Option* boardOption =
      app.add_option("--board", options.board,
                     "emulated (the built-in emulated boards), usb (user-space USB), or driver "
                     "(the camera's kernel driver, Windows only); default: " +
                         std::string(env.defaultBoard))
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
  CLI::Option* emulatedBoardsOption =
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
  std::vector<std::string> waitValue;
  CLI::Option* waitOption =
      app.add_option("--wait", waitValue,
                     "wait for a board to be attached (without SECONDS: as long as it takes), "
                     "then go on")
          ->expected(0, 1)
          ->option_text("[=SECONDS]");
  std::vector<std::string> waitBootValue;
  CLI::Option* waitBootOption =
      app.add_option("--wait-boot", waitBootValue,
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
  CLI::Option* jsonOption = app.add_flag(
      "--json", options.json,
      "list, info and verify: print one JSON document on standard output instead of lines");
  app.add_flag("--force-board", options.forceBoard,
               "write a board that does not look like the camera's (a bank that does not "
               "answer, or a boot image of another product in chip 0 bank 0)");
  app.set_version_flag("-V,--version", std::string(kVersion));
  // Options given after a subcommand belong to the program as a whole.
  app.fallthrough();
  app.require_subcommand(0, 1);
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
  app.footer(
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
      "SIGINT (Ctrl+C, Ctrl+Break), 143 by SIGTERM, 129 by SIGHUP (console closed).");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    env.out << app.help();
    return kExitSucceeded;
  } catch (const CLI::CallForVersion&) {
    env.out << kVersion << "\n";
    return kExitSucceeded;
  } catch (const CLI::ParseError& error) {
    return UsageError(env, error.what());
  }

  CLI::App* command = app.get_subcommands().empty() ? nullptr : app.get_subcommands().front();
  if (command == list) command = nullptr;
  if (command != nullptr && !options.logFile.empty())
    return UsageError(env,
                      "--log belongs to a run; " + command->get_name() + " writes no status log");
  if (command != nullptr && !options.backupFile.empty())
    return UsageError(env, "--backup belongs to a run; use read FILE");
  if (command == verifyCommand && options.directory.empty())
    return UsageError(env, "verify needs -C DIR, the folder of the image files");
  if (command != nullptr && options.all)
    return UsageError(env, "--all belongs to a run; " + command->get_name() +
                               " takes one board, chosen with --device");
  if (command != nullptr && (!options.report.empty() || !options.reportAppend.empty()))
    return UsageError(env, "--report and --report-append record a run, not " +
                               command->get_name());
  if (options.all && !options.backupFile.empty())
    return UsageError(env, "--backup writes one file; with --all choose a board with --device");
  if (options.json && !*list && command != infoCommand && command != verifyCommand)
    return UsageError(env, jsonOption->get_name() + " is for list, info and verify");

  if (waitOption->count() > 0) {
    double seconds = std::numeric_limits<double>::infinity();
    if (!waitValue.empty() && !waitValue.front().empty()) {
      std::istringstream text(waitValue.front());
      if (!(text >> seconds) || !text.eof() || !(seconds >= 0))
        return UsageError(env, "--wait: " + waitValue.front() + " is not a number of seconds");
    }
    options.waitSeconds = seconds;
  }
  if (waitBootOption->count() > 0) {
    double seconds = kDefaultWaitBoot;
    if (!waitBootValue.empty() && !waitBootValue.front().empty()) {
      std::istringstream text(waitBootValue.front());
      if (!(text >> seconds) || !text.eof() || !(seconds >= 0) || std::isinf(seconds))
        return UsageError(env,
                          "--wait-boot: " + waitBootValue.front() + " is not a number of seconds");
    }
    options.waitBootSeconds = seconds;
  }
  if (emulatedBoardsOption->count() > 0) {
    if (boardOption->count() > 0 && options.board != "emulated")
      return UsageError(env, "--emulated-boards needs --board=emulated");
    options.board = "emulated";
  }
  const bool emulated = options.board == "emulated";
  if (options.waitBootSeconds && options.board == "driver")
    return UsageError(env, "--wait-boot needs --board=usb: the kernel driver does not list "
                           "the boards");
  // Through libusb the board can be seen coming back: --yes does not answer for it.
  if (options.yes && options.board == "usb" && !options.waitBootSeconds)
    options.waitBootSeconds = kDefaultWaitBoot;
  const bool eepromFiles = !options.eepromIn.empty() || !options.eepromOut.empty();
  if (!emulated && eepromFiles)
    return UsageError(env, "--eeprom-in and --eeprom-out need --board=emulated");
  if (options.all && (eepromFiles || !options.logFile.empty()))
    return UsageError(env,
                      "--log, --eeprom-in and --eeprom-out apply to one board, not to --all "
                      "(--report records every board's log)");
  if (eepromFiles && options.emulatedBoards > 1 && options.device.empty())
    return UsageError(env,
                      "--eeprom-in and --eeprom-out apply to one board: with several emulated "
                      "boards choose it with --device");

  DirectoryChange directory;
  if (!options.directory.empty()) {
    std::error_code error;
    if (!directory.Enter(options.directory, error))
      return UsageError(env,
                        "cannot change to directory " + options.directory + ": " + error.message());
  }

  // Relative output paths follow -C, as the images do.
  std::string* readFile = command == readCommand ? &options.commandFile : nullptr;
  for (const auto& [option, path] :
       {std::pair{"--log", &options.logFile}, std::pair{"--eeprom-out", &options.eepromOut},
        std::pair{"--backup", &options.backupFile}, std::pair{"read", readFile},
        std::pair{"--report", &options.report},
        std::pair{"--report-append", &options.reportAppend}}) {
    if (path == nullptr || path->empty() || (path == &options.report && *path == "-")) continue;
    const std::string problem = OutputPathProblem(PathFromUtf8(*path));
    if (!problem.empty())
      return UsageError(env, std::string(option) + " " + *path + ": " + problem);
  }
  if (const std::string clash = OutputClash(options, command == readCommand,
                                            command == restoreCommand);
      !clash.empty())
    return UsageError(env, clash);

  std::unique_ptr<EmulatedBus> emulatedBus;
  std::unique_ptr<BackEnd> realBackEnd;
  CameraDriver* driver = nullptr;
  if (emulated) {
    emulatedBus = std::make_unique<EmulatedBus>(options.emulatedBoards, env.inspectEmulatedBoard);
    driver = &emulatedBus->driver;
    if (!options.eepromIn.empty()) {
      const std::optional<std::string> path =
          options.device.empty() ? std::optional<std::string>("emulated:0")
                                 : ChosenPath(driver->ListBoards(), options.device);
      EmulatedSlot* target = path ? emulatedBus->ByPath(*path) : nullptr;
      if (target == nullptr) return UsageError(env, "no emulated board " + options.device);
      std::vector<std::uint8_t> image;
      if (!ReadBoundedFile(PathFromUtf8(options.eepromIn), sim::board::kEepromImageSize + 1,
                           image))
        return UsageError(env, "cannot read the EEPROM image " + options.eepromIn);
      if (!target->board.LoadEepromImage(image))
        return UsageError(env, "the EEPROM image " + options.eepromIn + " holds " +
                                   std::to_string(image.size()) + " bytes, not " +
                                   std::to_string(sim::board::kEepromImageSize));
      // Power up again so that the board boots from what its EEPROM now holds.
      target->board.PowerCycle();
    }
    // The boards as they are attached, faults and all, before anything looks at them.
    if (env.prepareEmulatedBoard)
      for (const auto& each : emulatedBus->slots) env.prepareEmulatedBoard(each->board);
  } else {
    if (options.verbosity >= 2 && env.enableBackEndDebugOutput) env.enableBackEndDebugOutput();
    if (env.makeBackEnd) realBackEnd = env.makeBackEnd(options.board);
    if (!realBackEnd) {
      if (options.board == "driver")
        return UsageError(env,
                          "--board=driver: the camera's kernel driver back end exists "
                          "only on Windows; use --board=usb or --board=emulated");
      return UsageError(env, "--board=" + options.board + " is not available on this platform");
    }
    driver = &realBackEnd->Driver();
  }

  std::vector<BoardInfo> boards =
      options.waitSeconds ? WaitForBoard(env, *driver, options) : driver->ListBoards();

  if (*list) {
    if (options.json)
      env.out << BoardListJson(boards, kVersion.substr(kVersion.rfind(' ') + 1));
    else
      for (std::size_t i = 0; i < boards.size(); ++i) env.out << BoardLine(i, boards[i]) << "\n";
    if (boards.empty())
      env.err << "No board attached (looked for 04B4:8613 and 125C:0010).\n";
    // A wait that ended without the board is no listing of it.
    return options.waitSeconds && !WantedBoardThere(boards, options) ? kExitNoBoard
                                                                      : kExitSucceeded;
  }

  // Which board: the one named, every one, or the only one. Several and no choice touches
  // none of them.
  std::optional<BoardInfo> chosen;
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

  // Whether the board to be opened was attached when the boards were listed.
  const bool boardListed = chosen && chosen->vendorId != 0;
  EmulatedSlot* slot = nullptr;
  if (emulatedBus)
    slot = chosen ? emulatedBus->ByPath(chosen->path) : emulatedBus->slots.front().get();

  RunReport report;
  report.version = std::string(kVersion.substr(kVersion.rfind(' ') + 1));
  report.started = IsoUtc(std::chrono::system_clock::now());
  report.host = HostName();
  {
    std::error_code error;
    report.imagesDir = fs::absolute(fs::current_path(error), error).string();
  }

  std::optional<ChosenBoardDriver> oneBoard;
  if (chosen && (boards.size() > 1 || !options.device.empty())) {
    oneBoard.emplace(*driver, chosen->path);
    driver = &*oneBoard;
  }
  // The one reading of the image files that the whole run uses.
  ImageSnapshot images;
  if (command == nullptr) {
    images = TakeImageSnapshot("");
    // Nothing is opened unless every image file is fit to be written.
    if (!ImageFilesReady(env, images)) return kExitBadInput;
    if (!options.quiet) PrintPlan(env, options, chosen ? &*chosen : nullptr, images);
  }

  ProgressBar progress(env.err, env.errIsTerminal && !options.quiet, env.terminalColumns);
  // The debugger lines: on standard error with -v; otherwise where the platform sends them
  // (the debugger on Windows) or nowhere, since the cause line says what they say.
  DebugSink previousSink = SetDebugSink({});
  if (options.verbosity > 0)
    SetDebugSink([&env, &progress](std::string_view message) {
      progress.Clear();
      env.err << message << "\n" << std::flush;
    });
  else
    SetDebugSink(previousSink ? previousSink : [](std::string_view) {});
  std::optional<TracingDriver> tracer;
  if (options.verbosity > 0) {
    tracer.emplace(*driver, [&env, &progress](const std::string& line) {
      progress.Clear();
      env.err << line << "\n" << std::flush;
    });
    driver = &*tracer;
  }
  int status = kExitSucceeded;
  try {
    if (command != nullptr) {
      CommandContext context{env, *driver, progress, options.yes, options.json};
      if (command == readCommand) status = ReadCommand(context, options.commandFile);
      if (command == infoCommand) status = InfoCommand(context, !options.directory.empty());
      if (command == verifyCommand) status = VerifyCommand(context);
      if (command == restoreCommand) status = RestoreCommand(context, options.commandFile);
    } else if (options.all && !boards.empty()) {
      status = RunAllBoards(env, options, emulatedBus.get(), boards, images, report);
    } else {
      ConsoleHost host(env, options, images, slot, progress, options.backupFile);
      host.SetQuiet(options.quiet);
      BoardOutcome outcome = RunBoard(host, *driver, chosen ? &*chosen : nullptr, slot, images);
      status = ExitStatusOf(outcome.outcome);
      // No board to open: the run failed at its first step and touched nothing.
      if (status == kExitFailed && !boardListed &&
          outcome.report.error.value_or("").rfind("Error 0x1 ", 0) == 0)
        status = kExitNoBoard;
      report.boards.push_back(std::move(outcome.report));
    }
  } catch (const std::exception& failure) {
    // What has been decided is still written below; the status tells it was not a run.
    env.out.flush();
    env.err << "vesk-update: internal error: " << failure.what() << "\n" << std::flush;
    status = kExitInternalError;
  }
  SetDebugSink(previousSink);
  if (command != nullptr && status == kExitFailed && !boardListed) status = kExitNoBoard;
  if (slot != nullptr && !(options.all && !boards.empty()) && !options.quiet && !options.json)
    env.out << "Simulated board time: " << Seconds(slot->BoardTime()) << "\n";
  if (status != kExitSucceeded && StopRequested()) {
    const bool touched = status != kExitCancelled;
    status = env.interruptionStatus ? env.interruptionStatus() : kExitInterrupted;
    if (status == 0) status = kExitInterrupted;
    env.err << (touched ? "vesk-update: interrupted; the run stopped between two requests. The "
                          "board must be initialized again.\n"
                        : "vesk-update: interrupted before the board was touched.\n")
            << std::flush;
  }

  bool outputsWritten = true;
  const auto write = [&](const std::string& path, std::string_view bytes, const char* what) {
    if (path == "-") {
      env.out << bytes << std::flush;
      if (env.out) return;
    } else if (WriteFileAtomically(PathFromUtf8(path), bytes, env.beforeOutputRename)) {
      return;
    }
    env.err << "vesk-update: cannot write " << what << " " << path << "\n";
    outputsWritten = false;
  };
  // --log and --eeprom-out belong to one board's run.
  if (!options.logFile.empty() && report.boards.size() == 1)
    write(options.logFile, report.boards.front().log, "the log file");
  if (slot != nullptr && !options.eepromOut.empty()) {
    const std::vector<std::uint8_t> image = slot->board.SaveEepromImage();
    write(options.eepromOut, {reinterpret_cast<const char*>(image.data()), image.size()},
          "the EEPROM image");
  }
  if (!options.report.empty() && command == nullptr) write(options.report, ReportJson(report, false), "the report");
  if (!options.reportAppend.empty() &&
      !AppendRecord(PathFromUtf8(options.reportAppend), ReportJson(report, true))) {
    env.err << "vesk-update: cannot append to the report history " << options.reportAppend
            << "\n";
    outputsWritten = false;
  }
  if (!outputsWritten && status == kExitSucceeded) status = kExitOutputNotWritten;
  return status;
}

}  // namespace

}  // namespace vesk::console
