#pragma once
// The main window: picture, device values, Start Initialization, the status box, Close,
// Help, and the About entry in its context menu; around them the image folder, the run's
// progress, elapsed time and verdict. A run of the board initialisation goes on a worker
// thread; its log lines and progress come back through queued signals and its questions
// through a blocking queued call, so the window keeps painting while it is shut to input.

#include <QByteArray>
#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <array>
#include <functional>

#include <vector>

#include "device/chosen_board.h"
#include "run/update_sequence.h"
#include "device/board_info.h"
#include "device/camera_driver.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace vesk::qt {

class RunWorker;

// Opens a page in the desktop's browser; false when that could not be started.
using HelpLauncher = std::function<bool(const QUrl&)>;

// The image folder of the window's last run or Browse, if it still exists.
QString RememberedImageFolder();

class UpdateDialog : public QDialog {
  Q_OBJECT
 public:
  // `driver` must outlive the dialog; every run opens the camera through it, and the
  // window shows the boards it lists, looking again every second while no run is going.
  UpdateDialog(CameraDriver& driver, HelpLauncher launchHelp);
  ~UpdateDialog() override;

  bool RunInProgress() const { return running_; }

  // The folder the image files are read from: the working directory, which a run
  // resolves the files' bare names against. Setting it remembers it for the next start.
  QString ImageFolder() const;
  void SetImageFolder(const QString& folder);

  // What the context menu's About entry and the Help button do.
  void ShowAboutBox();
  void ShowHelp();

  // Question box of a run: modal Yes/No with the question icon, owned by this window.
  // Returns kAnswerYes or kAnswerNo; a box closed without an answer counts as No.
  int AskYesNo(const QString& text, const QString& caption);
  // Closes the open question box with `answer`, as the operator would (the board answered).
  void AnswerQuestion(int answer);

  // Through a back end that sees boards come and go (libusb): at the power-cycle question
  // the board is watched for up to `seconds`, and once it has gone and come back the box
  // is closed for the operator with what it did. 0: the operator answers alone.
  void WatchPowerCycles(double seconds) { watchPowerCycleSeconds_ = seconds; }
  double PowerCycleWatchSeconds() const { return watchPowerCycleSeconds_; }

 signals:
  void runFinished(int outcome);  // a RunOutcome, after the window accepts input again

 public slots:
  void StartInitialization();
  // The session is ending: an open question is answered No, the run stops before its next
  // request (the stop itself is requested by the signal handler), and the window closes
  // once the verdict is shown.
  void EndSession();

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void reject() override;
  void showEvent(QShowEvent* event) override;

 private:
  void BuildControls();
  void BuildGrownControls();
  void BrowseImageFolder();
  void SetRunning(bool running);
  void ShowStatusText(const QByteArray& log);
  void ShowImageProgress(const QString& file, quint32 written, quint32 total);
  void ShowElapsedTime();
  void ShowVerdict(int outcome);
  void OnRunFinished(int outcome);
  void RefreshBoards();
  void RefreshImageFiles();
  void ShowFailureDetail(const QString& detail);
  void ShowChosenBoard();
  void UpdateStartButton();

  HelpLauncher launchHelp_;
  ChosenBoardDriver chosenBoard_;
  std::vector<BoardInfo> boards_;
  QTimer pollTimer_;
  QString boardProblem_;  // why Start cannot be used for want of a board; empty if it can
  QString filesProblem_;  // the same for the image files
  UpdateState state_;
  QThread workerThread_;
  RunWorker* worker_ = nullptr;
  bool running_ = false;
  bool centred_ = false;
  bool closePending_ = false;  // a close asked for during a run, carried out after it
  bool sessionEnding_ = false;
  QPointer<QMessageBox> question_;
  double watchPowerCycleSeconds_ = 0;
  QElapsedTimer runClock_;
  QTimer elapsedTicker_;

  QPlainTextEdit* statusBox_ = nullptr;
  QLabel* deviceValues_ = nullptr;
  QPushButton* startButton_ = nullptr;
  QLabel* statusLabel_ = nullptr;
  QPushButton* closeButton_ = nullptr;
  QPushButton* helpButton_ = nullptr;

  QLineEdit* folderField_ = nullptr;
  QPushButton* browseButton_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QLabel* elapsedLabel_ = nullptr;
  QLabel* verdictIcon_ = nullptr;
  QLabel* verdictLine_ = nullptr;
  QLabel* causeLine_ = nullptr;
  struct FileRow {
    QLabel* name;
    QLabel* size;
    QLabel* mark;
  };
  std::array<FileRow, 6> fileRows_{};
  QLabel* filesProblemLine_ = nullptr;
  QLabel* boardLine_ = nullptr;
  QComboBox* boardChooser_ = nullptr;
};

}  // namespace vesk::qt
