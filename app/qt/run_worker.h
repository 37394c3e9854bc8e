#pragma once
// The host side of one run, on the worker thread: forwards the log to the window by
// queued signal and asks the window's questions by a blocking queued call.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>
#include <string>

#include "run/update_sequence.h"
#include "images/image_downloads.h"

namespace vesk::qt {

class UpdateDialog;

class RunWorker : public QObject, private UpdateHost {
  Q_OBJECT
 public:
  // `state` belongs to the dialog; only the worker touches it while a run is going.
  RunWorker(UpdateDialog& dialog, UpdateState& state) : dialog_(dialog), state_(state) {}

 public slots:
  void Run();

 signals:
  void statusLogChanged(const QByteArray& text);
  void imageProgress(const QString& file, quint32 written, quint32 total);
  void failureDetail(const QString& detail);
  void finished(int outcome);

 private:
  void ShowStatusLog(const StatusLog& log) override;
  int AskYesNo(std::string_view text, std::string_view caption) override;
  // The window's question box, answered by the operator (or closed for them).
  int AskWindow(std::string_view text, std::string_view caption);
  void ShowImageProgress(const std::string& file, std::uint32_t written,
                         std::uint32_t total) override;
  void ShowFailureDetail(std::string_view detail) override;
  bool BeforeFirstWrite(DeviceHandle& handle) override;
  const ImageSnapshot* Images() const override { return &images_; }
  // The window shows the files in its own list; nothing goes to standard output.
  void ShowReadingFile(const std::string& /*file*/) override {}

  UpdateDialog& dialog_;
  ImageSnapshot images_;  // read as the run starts, before its first question
  UpdateState& state_;
  // The last progress sent: the window hears of each whole percent, not of every page.
  std::string progressFile_;
  std::uint64_t progressStep_ = 0;
};

}  // namespace vesk::qt
