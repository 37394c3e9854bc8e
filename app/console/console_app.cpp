#include "app/console/console_app.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <istream>
#include <iterator>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/console/output_file.h"
#include "app/update_sequence.h"
#include "device/debug_output.h"
#include "device/device_connection.h"
#include "device/stop_request.h"
#include "device/usb/usb_camera_driver.h"
#include "sim/board/emulated_board.h"

namespace vesk::console {
namespace {

namespace fs = std::filesystem;
using sim::SimTime;

constexpr std::string_view kVersion = "vesk-update 1.0.0.1";
// After the power cycle the emulated board is watched this long for its LED.
constexpr SimTime kLedWatch = 3000 * sim::kPicosPerMilli;
// Two blinks: on, off, on, off.
constexpr std::uint64_t kBlinkToggles = 4;

struct Options {
  std::string board;
  std::string directory;
  bool yes = false;
  std::string logFile;
  std::string eepromIn;
  std::string eepromOut;
};

std::string Seconds(SimTime picos) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(3)
       << static_cast<double>(picos) / static_cast<double>(1000 * sim::kPicosPerMilli) << " s";
  return text.str();
}

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

// The emulated board's part of the run: it is the board, so it can answer the
// power-cycle question by itself.
struct EmulatedSetup {
  sim::board::EmulatedBoard board;
  sim::board::EmulatedBoardSource source{board};
  usb::UsbCameraDriver driver{source};
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

class ConsoleHost : public UpdateHost {
 public:
  ConsoleHost(ConsoleEnvironment& environment, bool yes, EmulatedSetup* emulated)
      : env_(environment), yes_(yes), emulated_(emulated) {}

  void ShowStatusLog(const StatusLog& log) override {
    const std::string_view text = log.Text();
    if (text.size() < shown_) shown_ = 0;  // a new run started the log afresh
    ClearProgress();
    for (char c : text.substr(shown_))
      if (c != '\r') env_.out << c;
    env_.out.flush();
    shown_ = text.size();
    lastLog_ = std::string(text);
  }

  int AskYesNo(std::string_view text, std::string_view caption) override {
    ClearProgress();
    const bool powerCycle = text == kPowerCycleQuestion;
    if (powerCycle && emulated_ != nullptr) {
      const bool blinks = emulated_->PowerCycleAndWatch();
      env_.err << "Emulated board power-cycled: " << BootText(emulated_->boot->kind)
               << ", LED toggled " << emulated_->ledToggles << " times in "
               << Seconds(emulated_->watched)
               << (blinks ? " (camera ready)" : " (camera not ready)") << "\n";
      if (!yes_) return blinks ? kAnswerYes : kAnswerNo;
    }
    if (yes_) return kAnswerYes;
    env_.err << caption << "\n" << text << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(env_.in, answer)) {
      env_.err << "\n";
      return kAnswerNo;
    }
    answer.erase(std::remove_if(answer.begin(), answer.end(),
                                [](unsigned char c) { return std::isspace(c); }),
                 answer.end());
    std::transform(answer.begin(), answer.end(), answer.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return answer == "y" || answer == "yes" ? kAnswerYes : kAnswerNo;
  }

  void ShowImageProgress(const std::string& file, std::uint32_t written,
                         std::uint32_t total) override {
    if (!env_.errIsTerminal || total == 0) return;
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(std::uint64_t{written} * kWidth / total);
    const unsigned percent = static_cast<unsigned>(std::uint64_t{written} * 100 / total);
    std::string bar = "\r" + file + " [" + std::string(filled, '#') +
                      std::string(kWidth - filled, '-') + "] " + std::to_string(written) + "/" +
                      std::to_string(total) + " bytes " + std::to_string(percent) + "%";
    barWidth_ = std::max(barWidth_, bar.size());
    env_.err << bar << std::flush;
  }

  const std::string& FinalLog() const { return lastLog_; }
  void Finish() {
    ClearProgress();
    if (!lastLog_.empty() && lastLog_.back() != '\n') env_.out << "\n";
    env_.out.flush();
  }

 private:
  void ClearProgress() {
    if (barWidth_ == 0) return;
    env_.err << "\r" << std::string(barWidth_, ' ') << "\r" << std::flush;
    barWidth_ = 0;
  }

  ConsoleEnvironment& env_;
  bool yes_;
  EmulatedSetup* emulated_;
  std::size_t shown_ = 0;
  std::size_t barWidth_ = 0;
  std::string lastLog_;
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

}  // namespace

int RunConsole(int argc, const char* const* argv, ConsoleEnvironment& env) {
  Options options;
  options.board = std::string(env.defaultBoard);
  CLI::App app{
      "Initialises the camera's USB board: loads the control firmware, writes the BufCon, "
      "CamCon, FX2 and GPIF images and the ROM header into the board's EEPROM.",
      "vesk-update"};
  app.add_option("--board", options.board,
                 "emulated (the built-in emulated board), usb (user-space USB), or driver "
                 "(the camera's kernel driver, Windows only); default: " +
                     std::string(env.defaultBoard))
      ->check(CLI::IsMember({"emulated", "usb", "driver"}));
  app.add_option("-C", options.directory,
                 "change to DIR first; the image files and every relative path are read there")
      ->option_text("DIR");
  app.add_flag("--yes", options.yes, "answer Yes to both questions");
  app.add_option("--log", options.logFile, "write the final status log to FILE, byte for byte")
      ->option_text("FILE");
  app.add_option("--eeprom-in", options.eepromIn,
                 "emulated board only: start with this 393,216-byte EEPROM image (chip 0 banks "
                 "0-5, then chip 1 banks 0-5); without it the EEPROMs start erased")
      ->option_text("FILE");
  app.add_option("--eeprom-out", options.eepromOut,
                 "emulated board only: save the EEPROM contents after the run to FILE")
      ->option_text("FILE");
  app.set_version_flag("--version", std::string(kVersion));
  app.footer(
      "Questions are asked on standard error and answered on standard input: y or yes is Yes, "
      "anything else or the end of input is No.\n"
      "With --board=emulated the board is power-cycled at the power-cycle question and, unless "
      "--yes was given, answers it by itself: Yes when its LED blinks (twice within 3 s).\n"
      "--log and --eeprom-out are checked before the board is touched and replaced whole: "
      "a failed write leaves the old file as it was.\n"
      "SIGINT, SIGTERM or SIGHUP (Windows: Ctrl+C, Ctrl+Break, closing the console) stops "
      "the run before its next request; the outputs are still written. A second one ends "
      "the program at once.\n"
      "Exit status: 0 successful, 1 failed, 2 cancelled, 3 board initialised but an output "
      "file not written, 64 usage error, 130 interrupted by SIGINT (Ctrl+C, Ctrl+Break), "
      "143 by SIGTERM, 129 by SIGHUP (console closed).");

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

  const bool emulated = options.board == "emulated";
  if (!emulated && (!options.eepromIn.empty() || !options.eepromOut.empty()))
    return UsageError(env, "--eeprom-in and --eeprom-out need --board=emulated");

  DirectoryChange directory;
  if (!options.directory.empty()) {
    std::error_code error;
    if (!directory.Enter(options.directory, error))
      return UsageError(env,
                        "cannot change to directory " + options.directory + ": " + error.message());
  }

  // Relative output paths follow -C, as the images do.
  for (const auto& [option, path] : {std::pair{"--log", &options.logFile},
                                     std::pair{"--eeprom-out", &options.eepromOut}}) {
    if (path->empty()) continue;
    const std::string problem = OutputPathProblem(PathFromUtf8(*path));
    if (!problem.empty())
      return UsageError(env, std::string(option) + " " + *path + ": " + problem);
  }

  std::unique_ptr<EmulatedSetup> emulatedSetup;
  std::unique_ptr<CameraDriver> realDriver;
  CameraDriver* driver = nullptr;
  if (emulated) {
    emulatedSetup = std::make_unique<EmulatedSetup>();
    if (!options.eepromIn.empty()) {
      std::vector<std::uint8_t> image;
      if (!ReadBoundedFile(PathFromUtf8(options.eepromIn), sim::board::kEepromImageSize + 1,
                           image))
        return UsageError(env, "cannot read the EEPROM image " + options.eepromIn);
      if (!emulatedSetup->board.LoadEepromImage(image))
        return UsageError(env, "the EEPROM image " + options.eepromIn + " holds " +
                                   std::to_string(image.size()) + " bytes, not " +
                                   std::to_string(sim::board::kEepromImageSize));
      // Power up again so that the board boots from what its EEPROM now holds.
      emulatedSetup->board.PowerCycle();
    }
    if (env.prepareEmulatedBoard) env.prepareEmulatedBoard(emulatedSetup->board);
    driver = &emulatedSetup->driver;
  } else {
    if (env.makeRealDriver) realDriver = env.makeRealDriver(options.board);
    if (!realDriver) {
      if (options.board == "driver")
        return UsageError(env,
                          "--board=driver: the camera's kernel driver back end exists "
                          "only on Windows; use --board=usb or --board=emulated");
      return UsageError(env, "--board=" + options.board + " is not available on this platform");
    }
    driver = realDriver.get();
  }

  const DebugSink previousSink =
      SetDebugSink([&env](std::string_view message) { env.err << message << "\n"
                                                              << std::flush; });
  ConsoleHost host(env, options.yes, emulatedSetup.get());
  UpdateState state;
  state.handle.driver = driver;
  const RunOutcome outcome = RunBoardInitialization(host, state);
  CloseCameraDevice(state.handle);  // a failed run leaves it open; the process ends here
  host.Finish();
  SetDebugSink(previousSink);

  int status = outcome == RunOutcome::Succeeded ? kExitSucceeded
               : outcome == RunOutcome::Failed  ? kExitFailed
                                                : kExitCancelled;
  if (outcome != RunOutcome::Succeeded && StopRequested()) {
    status = env.interruptionStatus ? env.interruptionStatus() : kExitInterrupted;
    if (status == 0) status = kExitInterrupted;
    env.err << (outcome == RunOutcome::Cancelled
                    ? "vesk-update: interrupted before the board was touched.\n"
                    : "vesk-update: interrupted; the run stopped between two requests. The "
                      "board must be initialised again.\n")
            << std::flush;
  }
  if (emulatedSetup) {
    const SimTime runTime =
        emulatedSetup->boot ? emulatedSetup->runTime : emulatedSetup->board.Now();
    env.out << "Simulated board time: " << Seconds(runTime) << "\n";
  }
  bool outputsWritten = true;
  if (!options.logFile.empty() &&
      !WriteFileAtomically(PathFromUtf8(options.logFile), host.FinalLog())) {
    env.err << "vesk-update: cannot write the log file " << options.logFile << "\n";
    outputsWritten = false;
  }
  if (emulatedSetup && !options.eepromOut.empty()) {
    const std::vector<std::uint8_t> image = emulatedSetup->board.SaveEepromImage();
    if (!WriteFileAtomically(PathFromUtf8(options.eepromOut),
                             {reinterpret_cast<const char*>(image.data()), image.size()})) {
      env.err << "vesk-update: cannot write the EEPROM image " << options.eepromOut << "\n";
      outputsWritten = false;
    }
  }
  if (!outputsWritten && status == kExitSucceeded) status = kExitOutputNotWritten;
  return status;
}

}  // namespace vesk::console
