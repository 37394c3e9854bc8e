#include "app/qt/run_worker.h"

#include <QMetaObject>
#include <QString>
#include <atomic>
#include <thread>

#include "app/qt/update_dialog.h"
#include "device/failure_detail.h"
#include "run/power_cycle_watch.h"
#include "device/stop_request.h"
#include "images/camera_board.h"

namespace vesk::qt {

void RunWorker::Run() {
  progressFile_.clear();
  images_ = TakeImageSnapshot("");
  const RunOutcome outcome = RunBoardInitialization(*this, state_);
  emit finished(static_cast<int>(outcome));
}

// Nothing is written to a board that is not the camera's.
bool RunWorker::BeforeFirstWrite(DeviceHandle& handle) {
  const std::string problem = CameraBoardProblem(handle, images_.Of(kFx2Place).bytes);
  if (problem.empty()) return true;
  SetFailureDetail(problem);
  return false;
}

void RunWorker::ShowStatusLog(const StatusLog& log) {
  const std::string_view text = log.Text();
  emit statusLogChanged(QByteArray(text.data(), static_cast<qsizetype>(text.size())));
}

void RunWorker::ShowImageProgress(const std::string& file, std::uint32_t written,
                                  std::uint32_t total) {
  if (total == 0) return;
  const std::uint64_t step = std::uint64_t{written} * 100 / total;
  if (file == progressFile_ && step == progressStep_) return;
  progressFile_ = file;
  progressStep_ = step;
  emit imageProgress(QString::fromStdString(file), written, total);
}

void RunWorker::ShowFailureDetail(std::string_view detail) {
  emit failureDetail(QString::fromUtf8(detail.data(), static_cast<qsizetype>(detail.size())));
}

int RunWorker::AskYesNo(std::string_view text, std::string_view caption) {
  const std::optional<BootIdentity> expected = BootImageIdentity(images_.Of(kFx2Place).bytes);
  const double seconds = dialog_.PowerCycleWatchSeconds();
  if (text != kPowerCycleQuestion || seconds <= 0 || !expected || state_.handle.driver == nullptr)
    return AskWindow(text, caption);

  // The board is watched while the box is open; what it does closes the box.
  const std::string path(state_.devicePath.data());
  const std::chrono::duration<double> limit(seconds);
  std::atomic<bool> operatorAnswered{false}, boardAnswered{false};
  PowerCycleWatch watch;
  std::thread watcher([&] {
    watch = WatchPowerCycle(*state_.handle.driver, path, expected->vendorId, expected->productId,
                            limit, [&] { return operatorAnswered.load() || StopRequested(); });
    if (operatorAnswered) return;
    boardAnswered = true;
    const int answer = watch.cameBack ? kAnswerYes : kAnswerNo;
    QMetaObject::invokeMethod(
        &dialog_, [this, answer] { dialog_.AnswerQuestion(answer); }, Qt::QueuedConnection);
  });
  const int answer = AskWindow(text, caption);
  operatorAnswered = !boardAnswered;
  watcher.join();
  if (!boardAnswered) return answer;
  if (!watch.cameBack)
    SetFailureDetail("the board " +
                     PowerCycleText(watch, expected->vendorId, expected->productId, limit));
  return watch.cameBack ? kAnswerYes : kAnswerNo;
}

int RunWorker::AskWindow(std::string_view text, std::string_view caption) {
  const QString question = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
  const QString title = QString::fromLatin1(caption.data(), static_cast<qsizetype>(caption.size()));
  int answer = kAnswerNo;
  // Queued behind every log line emitted before it, so the window shows them first.
  QMetaObject::invokeMethod(
      &dialog_, [&] { return dialog_.AskYesNo(question, title); }, Qt::BlockingQueuedConnection,
      &answer);
  return answer;
}

}  // namespace vesk::qt
