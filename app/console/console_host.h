#pragma once
// A board's run as the console hosts it: the status log and lines on its terminal, the
// questions (answered by an emulated board itself, by --yes, by watching the board come
// back, or by the operator), the board check and --backup before the first write.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/console/board_terminal.h"
#include "app/console/console_app.h"
#include "app/console/console_bus.h"
#include "app/console/console_options.h"
#include "app/console/progress_bar.h"
#include "images/image_downloads.h"
#include "run/update_sequence.h"

namespace vesk::console {

class ConsoleHost : public UpdateHost {
 public:
  // `emulated`: the board when it is an emulated one. `progress` is the bar the backup
  // shows; every other line goes to `terminal`.
  ConsoleHost(ConsoleEnvironment& environment, const Options& options, const ImageSnapshot& images,
              EmulatedSlot* emulated, ProgressBar& progress, BoardTerminal& terminal,
              std::string backupFile);

  // -q: the log is kept, and only its verdict line shown, by Finish.
  void SetQuiet(bool quiet) { quiet_ = quiet; }

  const ImageSnapshot* Images() const override { return &images_; }
  // Like every status line: under -q not at all.
  void ShowReadingFile(const std::string& file) override;
  void ShowStatusLog(const StatusLog& log) override;
  int AskYesNo(std::string_view text, std::string_view caption) override;
  void ShowImageProgress(const std::string& file, std::uint32_t written,
                         std::uint32_t total) override;
  // Kept for the report and shown on standard error after the log.
  void ShowFailureDetail(std::string_view detail) override;
  // The board must be the camera's before anything is written to it; then --backup: the
  // EEPROM as it is, into its file, before the run writes anything.
  bool BeforeFirstWrite(DeviceHandle& handle) override;

  // The board is watched through its power cycle at `path` of `driver` (--wait-boot).
  void WatchPowerCycleThrough(CameraDriver& driver, const std::array<char, 1024>& path) {
    watchDriver_ = &driver;
    watchPath_ = &path;
  }

  const std::optional<std::string>& Detail() const { return detail_; }
  const std::string& FinalLog() const { return lastLog_; }
  // The images written whole, in order: file name and length.
  const std::vector<std::pair<std::string, std::uint32_t>>& WrittenImages() const {
    return written_;
  }
  // The run is over: the log's last line shown whole (under -q: the verdict line).
  void Finish();

 private:
  using Clock = std::chrono::steady_clock;

  void ClearProgress() { progress_.Clear(); }
  // What the run writes: the six image files as they are now.
  std::uint64_t RunBytes() const;
  // Shows the question, then answers it with what the board does: Yes once it has gone
  // and come back with the identity the written FX2 image declares.
  int WatchBoot(std::string_view text, std::string_view caption);

  ConsoleEnvironment& env_;
  bool yes_;
  bool forceBoard_;
  std::optional<double> waitBoot_;
  CameraDriver* watchDriver_ = nullptr;
  const std::array<char, 1024>* watchPath_ = nullptr;
  const ImageSnapshot& images_;
  EmulatedSlot* emulated_;
  ProgressBar& progress_;
  BoardTerminal& terminal_;
  std::string backupFile_;
  std::size_t shown_ = 0;
  std::string lastLog_;
  bool quiet_ = false;
  RunProgress runProgress_{RunBytes()};
  std::optional<Clock::time_point> firstProgress_;
  std::vector<std::pair<std::string, std::uint32_t>> written_;
  std::optional<std::string> detail_;
};

}  // namespace vesk::console
