#include "app/qt/update_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStyle>
#include <algorithm>
#include <cstdio>

#include "app/qt/about_box.h"
#include "app/qt/artwork.h"
#include "app/qt/dialog_templates.h"
#include "app/qt/dialog_units.h"
#include "app/qt/help_page.h"
#include "app/qt/run_worker.h"
#include "device/stop_request.h"
#include "images/preflight.h"

namespace vesk::qt {
namespace {

constexpr auto kImageFolderKey = "imageFolder";

// ~/.config/vesk-update/vesk-update-gui.conf
class Settings : public QSettings {
 public:
  Settings() : QSettings(QStringLiteral("vesk-update"), QStringLiteral("vesk-update-gui")) {}
};

// The title sits on the frame's top edge, as in the original layout; Fusion would draw it
// above the frame.
void StyleFrame(QGroupBox* box) {
  box->setStyleSheet(
      QStringLiteral("QGroupBox { border: 1px solid palette(mid); margin-top: 0.5em; }"
                     "QGroupBox::title { subcontrol-origin: margin; left: 6px; padding: 0 2px; }"));
}

QRect ToPixels(const DialogUnits& units, const DialogRect& rect) {
  return units.ToPixels(QRect(rect.x, rect.y, rect.width, rect.height));
}

// What the window says of a file beside its size.
QString Mark(ImageFileProblem problem) {
  switch (problem) {
    case ImageFileProblem::None:
      return QStringLiteral("ready");
    case ImageFileProblem::Missing:
      return QStringLiteral("missing");
    case ImageFileProblem::NotRegularFile:
      return QStringLiteral("not a file");
    case ImageFileProblem::Empty:
      return QStringLiteral("empty");
    case ImageFileProblem::TooBig:
      return QStringLiteral("too big for its room");
    case ImageFileProblem::BadBootImage:
      return QStringLiteral("not a valid boot image");
    case ImageFileProblem::Unreadable:
      return QStringLiteral("unreadable");
  }
  return {};
}

// The last line of a run's log: its verdict.
QString LastLine(const QString& log) {
  const QStringList lines = log.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  return lines.isEmpty() ? QString() : lines.constLast();
}

}  // namespace

QString RememberedImageFolder() {
  const QString folder = Settings().value(QLatin1String(kImageFolderKey)).toString();
  return !folder.isEmpty() && QDir(folder).exists() ? folder : QString();
}

UpdateDialog::UpdateDialog(CameraDriver& driver, HelpLauncher launchHelp)
    : QDialog(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      launchHelp_(std::move(launchHelp)),
      chosenBoard_(driver) {
  state_.handle.driver = &chosenBoard_;
  setFont(DialogFont());
  setWindowTitle(QString::fromLatin1(kMainDialog.caption));
  setWindowIcon(ApplicationIcon());
  setFixedSize(DialogUnits::ForFont(font()).ToPixels(
      QSize(kGrownMainDialog.width, kGrownMainDialog.height)));
  BuildControls();
  BuildGrownControls();

  worker_ = new RunWorker(*this, state_);
  worker_->moveToThread(&workerThread_);
  connect(&workerThread_, &QThread::finished, worker_, &QObject::deleteLater);
  connect(worker_, &RunWorker::statusLogChanged, this, &UpdateDialog::ShowStatusText);
  connect(worker_, &RunWorker::imageProgress, this, &UpdateDialog::ShowImageProgress);
  connect(worker_, &RunWorker::failureDetail, this, &UpdateDialog::ShowFailureDetail);
  connect(worker_, &RunWorker::finished, this, &UpdateDialog::OnRunFinished);
  workerThread_.start();

  RefreshBoards();
  pollTimer_.setInterval(1000);
  connect(&pollTimer_, &QTimer::timeout, this, [this] {
    if (running_) return;
    RefreshBoards();
    RefreshImageFiles();
  });
  pollTimer_.start();
}

UpdateDialog::~UpdateDialog() {
  workerThread_.quit();
  workerThread_.wait();
}

void UpdateDialog::BuildControls() {
  const DialogUnits units = DialogUnits::ForFont(font());
  QWidget* groupBox = nullptr;
  for (const ControlTemplate& control : kMainDialogControls) {
    const QString text = QString::fromLatin1(control.text);
    QWidget* widget = nullptr;
    switch (control.kind) {
      case ControlKind::DefaultButton:
      case ControlKind::Button: {
        auto* button = new QPushButton(text, this);
        button->setDefault(control.kind == ControlKind::DefaultButton);
        button->setAutoDefault(false);
        widget = button;
        break;
      }
      case ControlKind::GroupBox:
        groupBox = widget = new QGroupBox(text, this);
        StyleFrame(static_cast<QGroupBox*>(groupBox));
        break;
      case ControlKind::Text: {
        auto* label = new QLabel(text, this);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        widget = label;
        break;
      }
      case ControlKind::StatusBox: {
        auto* box = new QPlainTextEdit(this);
        box->setReadOnly(true);
        box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        box->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        box->setFrameStyle(QFrame::Box | QFrame::Plain);
        widget = box;
        break;
      }
      case ControlKind::Picture:
      case ControlKind::Icon: {
        auto* picture = new QLabel(this);
        picture->setPixmap(BoardPicture());
        picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        picture->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        picture->setLineWidth(1);
        widget = picture;
        break;
      }
    }
    widget->setObjectName(QStringLiteral("control%1").arg(control.id));
    widget->setGeometry(units.ToPixels(QRect(control.x, control.y, control.width, control.height)));
    switch (control.id) {
      case kStartId:
        startButton_ = static_cast<QPushButton*>(widget);
        break;
      case kOkId:
        closeButton_ = static_cast<QPushButton*>(widget);
        break;
      case kHelpId:
        helpButton_ = static_cast<QPushButton*>(widget);
        break;
      case kStatusLabelId:
        statusLabel_ = static_cast<QLabel*>(widget);
        break;
      case kDeviceValuesId:
        deviceValues_ = static_cast<QLabel*>(widget);
        break;
      case kStatusBoxId:
        statusBox_ = static_cast<QPlainTextEdit*>(widget);
        break;
      default:
        break;
    }
  }
  // The frame is drawn behind the controls inside it and must not take their clicks.
  groupBox->lower();
  groupBox->setAttribute(Qt::WA_TransparentForMouseEvents);

  char values[80];
  std::snprintf(values, sizeof values,
                "Device Values to be Programmed:  PID = 0x%04X      DID = 0x%04X", kProductId,
                kDeviceId);
  deviceValues_->setText(QString::fromLatin1(values));

  connect(startButton_, &QPushButton::clicked, this, &UpdateDialog::StartInitialization);
  connect(closeButton_, &QPushButton::clicked, this, &QDialog::accept);
  connect(helpButton_, &QPushButton::clicked, this, &UpdateDialog::ShowHelp);
  startButton_->setFocus();
}

// Created after the template's controls, so that the tab order keeps theirs first.
void UpdateDialog::BuildGrownControls() {
  const DialogUnits units = DialogUnits::ForFont(font());

  auto* images = new QGroupBox(QStringLiteral("Image Files"), this);
  StyleFrame(images);
  images->setObjectName(QStringLiteral("imagesPanel"));
  images->setGeometry(ToPixels(units, kImagesPanel));
  auto* imagesLayout = new QGridLayout(images);
  imagesLayout->setContentsMargins(units.X(5), units.Y(11), units.X(5), units.Y(4));
  imagesLayout->setVerticalSpacing(units.Y(2));
  folderField_ = new QLineEdit(images);
  folderField_->setObjectName(QStringLiteral("imageFolder"));
  folderField_->setReadOnly(true);
  browseButton_ = new QPushButton(QStringLiteral("Browse..."), images);
  browseButton_->setObjectName(QStringLiteral("browseButton"));
  browseButton_->setAutoDefault(false);
  imagesLayout->addWidget(folderField_, 0, 0, 1, 2);
  imagesLayout->addWidget(browseButton_, 0, 2);
  for (std::size_t i = 0; i < fileRows_.size(); ++i) {
    FileRow& row = fileRows_[i];
    row = {new QLabel(images), new QLabel(images), new QLabel(images)};
    row.name->setObjectName(QStringLiteral("imageFile%1").arg(i));
    row.size->setObjectName(QStringLiteral("imageSize%1").arg(i));
    row.mark->setObjectName(QStringLiteral("imageMark%1").arg(i));
    row.size->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    const int line = static_cast<int>(i) + 1;
    imagesLayout->addWidget(row.name, line, 0);
    imagesLayout->addWidget(row.size, line, 1);
    imagesLayout->addWidget(row.mark, line, 2);
  }
  filesProblemLine_ = new QLabel(images);
  filesProblemLine_->setObjectName(QStringLiteral("imageProblem"));
  filesProblemLine_->setTextFormat(Qt::PlainText);
  filesProblemLine_->setWordWrap(true);
  filesProblemLine_->setStyleSheet(QStringLiteral("color: #b00000;"));
  imagesLayout->addWidget(filesProblemLine_, imagesLayout->rowCount(), 0, 1, 3);
  imagesLayout->setRowStretch(imagesLayout->rowCount(), 1);
  imagesLayout->setColumnStretch(0, 1);
  connect(browseButton_, &QPushButton::clicked, this, &UpdateDialog::BrowseImageFolder);

  progressBar_ = new QProgressBar(this);
  progressBar_->setObjectName(QStringLiteral("imageProgress"));
  progressBar_->setGeometry(ToPixels(units, kProgressSlot));
  progressBar_->setAlignment(Qt::AlignCenter);
  progressBar_->hide();
  elapsedLabel_ = new QLabel(this);
  elapsedLabel_->setObjectName(QStringLiteral("elapsedTime"));
  elapsedLabel_->setGeometry(ToPixels(units, kElapsedSlot));
  elapsedLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  elapsedTicker_.setInterval(250);
  connect(&elapsedTicker_, &QTimer::timeout, this, &UpdateDialog::ShowElapsedTime);

  auto* board = new QGroupBox(QStringLiteral("Board"), this);
  StyleFrame(board);
  board->setObjectName(QStringLiteral("boardPanel"));
  board->setGeometry(ToPixels(units, kBoardPanel));
  auto* boardLayout = new QHBoxLayout(board);
  boardLayout->setContentsMargins(units.X(5), units.Y(10), units.X(5), units.Y(2));
  boardLine_ = new QLabel(board);
  boardLine_->setObjectName(QStringLiteral("boardLine"));
  boardLine_->setTextFormat(Qt::PlainText);
  boardLine_->setWordWrap(true);
  boardLayout->addWidget(boardLine_);
  boardChooser_ = new QComboBox(this);
  boardChooser_->setObjectName(QStringLiteral("boardChooser"));
  boardChooser_->setGeometry(ToPixels(units, kBoardChooser));
  boardChooser_->setPlaceholderText(QStringLiteral("Choose a board"));
  boardChooser_->hide();
  connect(boardChooser_, &QComboBox::currentIndexChanged, this, &UpdateDialog::ShowChosenBoard);

  auto* verdict = new QWidget(this);
  verdict->setObjectName(QStringLiteral("verdictPanel"));
  verdict->setGeometry(ToPixels(units, kVerdictPanel));
  auto* verdictLayout = new QHBoxLayout(verdict);
  verdictLayout->setContentsMargins(units.X(2), 0, 0, 0);
  verdictIcon_ = new QLabel(verdict);
  verdictIcon_->setObjectName(QStringLiteral("verdictIcon"));
  verdictIcon_->setFixedSize(32, 32);
  verdictLine_ = new QLabel(verdict);
  verdictLine_->setObjectName(QStringLiteral("verdictLine"));
  verdictLine_->setTextFormat(Qt::PlainText);
  verdictLine_->setWordWrap(true);
  QFont bold = font();
  bold.setBold(true);
  verdictLine_->setFont(bold);
  verdictLayout->addWidget(verdictIcon_);
  verdictLayout->addWidget(verdictLine_, 1);

  causeLine_ = new QLabel(this);
  causeLine_->setObjectName(QStringLiteral("causeLine"));
  causeLine_->setGeometry(ToPixels(units, kCauseLine));
  causeLine_->setTextFormat(Qt::PlainText);
  causeLine_->setWordWrap(true);
  causeLine_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  causeLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  folderField_->setText(QDir::toNativeSeparators(QDir::currentPath()));
  RefreshImageFiles();
}

// Looked at again every second while no run is going, so that files copied in or fixed
// while the window is open count at once.
void UpdateDialog::RefreshImageFiles() {
  const std::vector<ImageFileCheck> checks =
      CheckImageFiles(QFile::encodeName(QDir::currentPath()).toStdString());
  filesProblem_.clear();
  for (std::size_t i = 0; i < fileRows_.size() && i < checks.size(); ++i) {
    const ImageFileCheck& check = checks[i];
    const bool ready = check.problem == ImageFileProblem::None;
    const FileRow& row = fileRows_[i];
    row.name->setText(QString::fromStdString(check.file));
    row.size->setText(check.bytes != 0 || check.problem == ImageFileProblem::Empty
                          ? QStringLiteral("%1 bytes").arg(check.bytes)
                          : QString());
    row.mark->setText(Mark(check.problem));
    row.mark->setStyleSheet(ready ? QStringLiteral("color: #006000;")
                                  : QStringLiteral("color: #b00000;"));
    row.mark->setToolTip(QString::fromStdString(check.message));
    if (!ready && filesProblem_.isEmpty()) filesProblem_ = QString::fromStdString(check.message);
  }
  filesProblemLine_->setText(filesProblem_);
  UpdateStartButton();
}

void UpdateDialog::ShowFailureDetail(const QString& detail) {
  causeLine_->setText(detail);
}

QString UpdateDialog::ImageFolder() const {
  return QDir::currentPath();
}

void UpdateDialog::SetImageFolder(const QString& folder) {
  if (running_ || !QDir::setCurrent(folder)) return;
  Settings().setValue(QLatin1String(kImageFolderKey), QDir::currentPath());
  folderField_->setText(QDir::toNativeSeparators(QDir::currentPath()));
  RefreshImageFiles();
}

void UpdateDialog::BrowseImageFolder() {
  const QString folder = QFileDialog::getExistingDirectory(
      this, QStringLiteral("Image Folder"), QDir::currentPath(), QFileDialog::ShowDirsOnly);
  if (!folder.isEmpty()) SetImageFolder(folder);
}

void UpdateDialog::StartInitialization() {
  if (running_ || sessionEnding_) return;
  RefreshImageFiles();
  if (!startButton_->isEnabled()) return;
  ClearStopRequest();
  // The folder a run used is the one the next start of the window comes back to.
  Settings().setValue(QLatin1String(kImageFolderKey), QDir::currentPath());
  statusBox_->clear();
  verdictIcon_->clear();
  verdictLine_->clear();
  causeLine_->clear();
  runClock_.start();
  ShowElapsedTime();
  elapsedTicker_.start();
  SetRunning(true);
  QMetaObject::invokeMethod(worker_, &RunWorker::Run, Qt::QueuedConnection);
}

void UpdateDialog::SetRunning(bool running) {
  running_ = running;
  for (QPushButton* button : {closeButton_, helpButton_, browseButton_})
    button->setEnabled(!running);
  boardChooser_->setEnabled(!running);
  UpdateStartButton();
  if (!running) startButton_->setFocus();
}

void UpdateDialog::UpdateStartButton() {
  const QString& problem = filesProblem_.isEmpty() ? boardProblem_ : filesProblem_;
  startButton_->setEnabled(!running_ && problem.isEmpty());
  startButton_->setToolTip(problem);
}

// While a run is going the list stays as it was when it started: the run owns the board.
void UpdateDialog::RefreshBoards() {
  if (running_) return;
  std::vector<BoardInfo> boards = chosenBoard_.Inner().ListBoards();
  const auto same = [](const BoardInfo& a, const BoardInfo& b) {
    return a.path == b.path && a.vendorId == b.vendorId && a.productId == b.productId &&
           a.state == b.state && a.location == b.location;
  };
  if (!boardLine_->text().isEmpty() &&
      std::equal(boards.begin(), boards.end(), boards_.begin(), boards_.end(), same))
    return;
  boards_ = std::move(boards);

  const QString previous = boardChooser_->currentText();
  boardChooser_->clear();
  for (const BoardInfo& info : boards_) boardChooser_->addItem(QString::fromStdString(info.path));
  // A choice stays while its board is attached; with several, nothing is chosen for the
  // operator.
  boardChooser_->setCurrentIndex(boards_.size() == 1 ? 0 : boardChooser_->findText(previous));
  boardChooser_->setVisible(boards_.size() > 1);
  ShowChosenBoard();
}

void UpdateDialog::ShowChosenBoard() {
  const int index = boardChooser_->currentIndex();
  boardProblem_.clear();
  if (boards_.empty()) {
    boardLine_->setText(QStringLiteral("No board attached"));
    chosenBoard_.Choose({});
  } else if (index < 0) {
    boardProblem_ =
        QStringLiteral("%1 boards attached: choose one beside Start.").arg(boards_.size());
    boardLine_->setText(boardProblem_);
    chosenBoard_.Choose({});
  } else {
    const BoardInfo& info = boards_[static_cast<std::size_t>(index)];
    QString text = QStringLiteral("%1   %2, %3")
                       .arg(QString::fromStdString(info.path),
                            QString::fromStdString(IdentityText(info.vendorId, info.productId)),
                            QString::fromLatin1(BoardStateText(info.state)));
    if (!info.location.empty())
      text += QStringLiteral(", ") + QString::fromStdString(info.location);
    boardLine_->setText(text);
    chosenBoard_.Choose(info.path);
  }
  UpdateStartButton();
}

void UpdateDialog::ShowStatusText(const QByteArray& log) {
  QString text = QString::fromLatin1(log);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  statusBox_->setPlainText(text);
  // Every new line starts a new step; the bar comes back with the next image's progress.
  progressBar_->hide();
}

void UpdateDialog::ShowImageProgress(const QString& file, quint32 written, quint32 total) {
  if (total == 0) return;
  progressBar_->setFormat(file + QStringLiteral(": %v of %m bytes (%p%)"));
  // Room sizes stay far below INT_MAX, the bar's range.
  progressBar_->setRange(0, static_cast<int>(total));
  progressBar_->setValue(static_cast<int>(written));
  progressBar_->show();
}

void UpdateDialog::ShowElapsedTime() {
  const qint64 seconds = runClock_.isValid() ? runClock_.elapsed() / 1000 : 0;
  elapsedLabel_->setText(
      QStringLiteral("Elapsed %1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0')));
}

void UpdateDialog::ShowVerdict(int outcome) {
  QStyle::StandardPixmap icon = QStyle::SP_MessageBoxWarning;
  if (outcome == static_cast<int>(RunOutcome::Succeeded)) icon = QStyle::SP_DialogApplyButton;
  if (outcome == static_cast<int>(RunOutcome::Failed)) icon = QStyle::SP_MessageBoxCritical;
  verdictIcon_->setPixmap(style()->standardIcon(icon, nullptr, this).pixmap(32, 32));
  verdictLine_->setText(LastLine(statusBox_->toPlainText()));
}

void UpdateDialog::OnRunFinished(int outcome) {
  elapsedTicker_.stop();
  ShowElapsedTime();
  progressBar_->hide();
  ShowVerdict(outcome);
  SetRunning(false);
  emit runFinished(outcome);
  if (closePending_) close();
}

int UpdateDialog::AskYesNo(const QString& text, const QString& caption) {
  // Once the session is ending nobody is there to answer: No.
  if (sessionEnding_) return kAnswerNo;
  QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::Yes);
  question_ = &box;
  return box.exec() == QMessageBox::Yes ? kAnswerYes : kAnswerNo;
}

void UpdateDialog::AnswerQuestion(int answer) {
  if (question_) question_->done(answer == kAnswerNo ? QMessageBox::No : QMessageBox::Yes);
}

void UpdateDialog::EndSession() {
  sessionEnding_ = true;
  closePending_ = true;
  if (question_) question_->done(QMessageBox::No);
  if (running_) return;
  // Boxes opened from the idle window (About, the Help failure) go first.
  for (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != this;
       modal = QApplication::activeModalWidget()) {
    if (!modal->close()) break;
  }
  close();
}

void UpdateDialog::ShowAboutBox() {
  AboutBox about(this);
  about.exec();
}

void UpdateDialog::ShowHelp() {
  const QString page = HelpPagePath();
  if (!page.isEmpty() && launchHelp_ && launchHelp_(QUrl::fromLocalFile(page))) return;
  QMessageBox failure(QMessageBox::Warning, QCoreApplication::applicationName(),
                      QString::fromLatin1(kHelpFailedText), QMessageBox::Ok, this);
  failure.exec();
}

void UpdateDialog::contextMenuEvent(QContextMenuEvent* event) {
  if (running_) return;
  QMenu menu(this);
  menu.setObjectName(QStringLiteral("contextMenu"));
  QAction* about = menu.addAction(QString::fromLatin1(kAboutEntryText));
  if (menu.exec(event->globalPos()) == about) ShowAboutBox();
}

void UpdateDialog::closeEvent(QCloseEvent* event) {
  if (running_) {
    closePending_ = true;
    event->ignore();
    return;
  }
  closePending_ = false;
  QDialog::closeEvent(event);
}

void UpdateDialog::reject() {
  if (running_) {
    closePending_ = true;
    return;
  }
  closePending_ = false;
  QDialog::reject();
}

void UpdateDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (centred_) return;
  centred_ = true;
  if (QScreen* screen = this->screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
}

}  // namespace vesk::qt
