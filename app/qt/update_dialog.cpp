#include "app/qt/update_dialog.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <cstdio>

#include "app/qt/about_box.h"
#include "app/qt/artwork.h"
#include "app/qt/dialog_templates.h"
#include "app/qt/dialog_units.h"
#include "app/qt/help_page.h"
#include "app/qt/run_worker.h"

namespace vesk::qt {

UpdateDialog::UpdateDialog(CameraDriver& driver, HelpLauncher launchHelp)
    : QDialog(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      launchHelp_(std::move(launchHelp)) {
  state_.handle.driver = &driver;
  setFont(DialogFont());
  setWindowTitle(QString::fromLatin1(kMainDialog.caption));
  setWindowIcon(ApplicationIcon());
  setFixedSize(DialogUnits::ForFont(font()).ToPixels(QSize(kMainDialog.width, kMainDialog.height)));
  BuildControls();

  worker_ = new RunWorker(*this, state_);
  worker_->moveToThread(&workerThread_);
  connect(&workerThread_, &QThread::finished, worker_, &QObject::deleteLater);
  connect(worker_, &RunWorker::statusLogChanged, this, &UpdateDialog::ShowStatusText);
  connect(worker_, &RunWorker::finished, this, &UpdateDialog::OnRunFinished);
  workerThread_.start();
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
        // The title sits on the frame's top edge, as in the original layout; Fusion would
        // draw it above the frame.
        groupBox->setStyleSheet(QStringLiteral(
            "QGroupBox { border: 1px solid palette(mid); margin-top: 0.5em; }"
            "QGroupBox::title { subcontrol-origin: margin; left: 6px; padding: 0 2px; }"));
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

void UpdateDialog::StartInitialization() {
  if (running_) return;
  SetRunning(true);
  QMetaObject::invokeMethod(worker_, &RunWorker::Run, Qt::QueuedConnection);
}

void UpdateDialog::SetRunning(bool running) {
  running_ = running;
  for (QPushButton* button : {startButton_, closeButton_, helpButton_})
    button->setEnabled(!running);
  if (!running) startButton_->setFocus();
}

void UpdateDialog::ShowStatusText(const QByteArray& log) {
  QString text = QString::fromLatin1(log);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  statusBox_->setPlainText(text);
}

void UpdateDialog::OnRunFinished(int outcome) {
  SetRunning(false);
  emit runFinished(outcome);
}

int UpdateDialog::AskYesNo(const QString& text, const QString& caption) {
  QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::Yes);
  return box.exec() == QMessageBox::Yes ? kAnswerYes : kAnswerNo;
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
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void UpdateDialog::reject() {
  if (!running_) QDialog::reject();
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
