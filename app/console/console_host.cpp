#include "app/console/console_host.h"

#include <algorithm>
#include <ostream>
#include <sstream>

#include "app/console/output_file.h"
#include "device/eeprom_reader.h"
#include "device/failure_detail.h"
#include "device/stop_request.h"
#include "images/camera_board.h"
#include "images/preflight.h"
#include "run/power_cycle_watch.h"

namespace vesk::console {

ConsoleHost::ConsoleHost(ConsoleEnvironment& environment, const Options& options,
                         const ImageSnapshot& images, EmulatedSlot* emulated, ProgressBar& progress,
                         BoardTerminal& terminal, std::string backupFile)
    : env_(environment),
      yes_(options.yes),
      forceBoard_(options.forceBoard),
      waitBoot_(options.waitBootSeconds),
      images_(images),
      emulated_(emulated),
      progress_(progress),
      terminal_(terminal),
      backupFile_(std::move(backupFile)) {}

void ConsoleHost::ShowReadingFile(const std::string& file) {
  if (quiet_) return;
  terminal_.OutLine("Reading file " + file + ".");
}

void ConsoleHost::ShowStatusLog(const StatusLog& log) {
  const std::string_view text = log.Text();
  if (text.size() < shown_) shown_ = 0;  // a new run started the log afresh
  // Under -q nothing yet: Finish shows the verdict line.
  if (!quiet_) terminal_.LogText(text, shown_);
  shown_ = text.size();
  lastLog_ = std::string(text);
}

int ConsoleHost::AskYesNo(std::string_view text, std::string_view caption) {
  ClearProgress();
  const bool powerCycle = text == kPowerCycleQuestion;
  if (powerCycle && emulated_ == nullptr && waitBoot_ && watchDriver_ != nullptr)
    return WatchBoot(text, caption);
  if (powerCycle && emulated_ != nullptr) {
    const bool blinks = emulated_->PowerCycleAndWatch();
    std::ostringstream line;
    line << "Emulated board power-cycled: " << BootText(emulated_->boot->kind) << ", LED toggled "
         << emulated_->ledToggles << " times in " << Seconds(emulated_->watched)
         << (blinks ? " (camera ready)" : " (camera not ready)");
    if (!quiet_) terminal_.ErrLines({line.str()});
    // The board answers what it showed; --yes answers only what nobody can see.
    return blinks ? kAnswerYes : kAnswerNo;
  }
  if (yes_) return kAnswerYes;
  return terminal_.Ask(text, caption);
}

// The image's bar with the whole run's share and time left beside it.
void ConsoleHost::ShowImageProgress(const std::string& file, std::uint32_t written,
                                    std::uint32_t total) {
  const bool finished = total != 0 && written == total &&
                        std::none_of(written_.begin(), written_.end(),
                                     [&](const auto& image) { return image.first == file; });
  if (finished) written_.emplace_back(file, total);
  const Clock::time_point now = Clock::now();
  if (!firstProgress_) firstProgress_ = now;
  runProgress_.Image(file, written, total,
                     std::chrono::duration<double>(now - *firstProgress_).count());
  terminal_.ImageProgress(file, written, total, finished, runProgress_.Text());
}

void ConsoleHost::ShowFailureDetail(std::string_view detail) {
  detail_ = std::string(detail);
  terminal_.FailureLine("vesk-update: " + *detail_);
}

bool ConsoleHost::BeforeFirstWrite(DeviceHandle& handle) {
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

void ConsoleHost::Finish() {
  ClearProgress();
  if (quiet_) {
    const std::size_t lastLine = lastLog_.rfind('\n');
    const std::string verdict = lastLog_.substr(lastLine == std::string::npos ? 0 : lastLine + 1);
    if (!verdict.empty()) terminal_.OutLine(verdict);
    return;
  }
  terminal_.EndLog();
}

std::uint64_t ConsoleHost::RunBytes() const {
  std::uint64_t bytes = 0;
  for (const ImageFileCheck& check : CheckImageSnapshot(images_)) bytes += check.bytes;
  return bytes;
}

int ConsoleHost::WatchBoot(std::string_view text, std::string_view caption) {
  const std::optional<BootIdentity> expected = BootImageIdentity(images_.Of(kFx2Place).bytes);
  const std::chrono::duration<double> limit(*waitBoot_);
  const std::string path(watchPath_->data());
  if (!expected) {
    SetFailureDetail("the FX2 image declares no identity to wait for");
    return kAnswerNo;
  }
  const std::string identity = IdentityText(expected->vendorId, expected->productId);
  env_.out.flush();
  if (!quiet_)
    terminal_.ErrLines({std::string(caption), std::string(text),
                        "Waiting up to " + Seconds(limit.count()) + " for " + path +
                            " to be power-cycled and come back as " + identity + "..."});
  const PowerCycleWatch watch = WatchPowerCycle(*watchDriver_, path, expected->vendorId,
                                                expected->productId, limit, StopRequested);
  const std::string seen = PowerCycleText(watch, expected->vendorId, expected->productId, limit);
  if (!quiet_) terminal_.ErrLines({"Board " + path + " " + seen});
  if (watch.cameBack) return kAnswerYes;
  SetFailureDetail("the board " + seen);
  return kAnswerNo;
}

}  // namespace vesk::console
