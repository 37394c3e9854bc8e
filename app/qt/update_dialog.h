#pragma once
// The main window: picture, device values, Start Initialization, the status box, Close,
// Help, and the About entry in its context menu. A run of the board initialisation goes
// on a worker thread; its log lines come back through queued signals and its questions
// through a blocking queued call, so the window keeps painting while it is shut to input.

#include <QByteArray>
#include <QDialog>
#include <QString>
#include <QThread>
#include <QUrl>
#include <functional>

#include "app/update_sequence.h"
#include "device/camera_driver.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace vesk::qt {

class RunWorker;

// Opens a page in the desktop's browser; false when that could not be started.
using HelpLauncher = std::function<bool(const QUrl&)>;

class UpdateDialog : public QDialog {
  Q_OBJECT
 public:
  // `driver` must outlive the dialog; every run opens the camera through it.
  UpdateDialog(CameraDriver& driver, HelpLauncher launchHelp);
  ~UpdateDialog() override;

  bool RunInProgress() const { return running_; }

  // What the context menu's About entry and the Help button do.
  void ShowAboutBox();
  void ShowHelp();

  // Question box of a run: modal Yes/No with the question icon, owned by this window.
  // Returns kAnswerYes or kAnswerNo; a box closed without an answer counts as No.
  int AskYesNo(const QString& text, const QString& caption);

 signals:
  void runFinished(int outcome);  // a RunOutcome, after the window accepts input again

 public slots:
  void StartInitialization();

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void reject() override;
  void showEvent(QShowEvent* event) override;

 private:
  void BuildControls();
  void SetRunning(bool running);
  void ShowStatusText(const QByteArray& log);
  void OnRunFinished(int outcome);

  HelpLauncher launchHelp_;
  UpdateState state_;
  QThread workerThread_;
  RunWorker* worker_ = nullptr;
  bool running_ = false;
  bool centred_ = false;

  QPlainTextEdit* statusBox_ = nullptr;
  QLabel* deviceValues_ = nullptr;
  QPushButton* startButton_ = nullptr;
  QLabel* statusLabel_ = nullptr;
  QPushButton* closeButton_ = nullptr;
  QPushButton* helpButton_ = nullptr;
};

}  // namespace vesk::qt
