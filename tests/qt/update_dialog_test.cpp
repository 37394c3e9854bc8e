// The dialog in Qt's offscreen platform: its window, its boxes and whole runs.

#include <QAbstractButton>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <map>
#include <memory>

#include "app/qt/about_box.h"
#include "app/qt/board_choice.h"
#include "app/qt/chosen_board.h"
#include "app/qt/dialog_templates.h"
#include "app/qt/dialog_units.h"
#include "app/qt/session_end.h"
#include "app/qt/update_dialog.h"
#include "tests/qt/dialog_test_support.h"

using vesk::qt::UpdateDialog;
using vesk::testing::HeldDriver;
using vesk::testing::MessageBoxAnswerer;
using vesk::testing::NoCameraDriver;

namespace {

constexpr int kRunTimeoutMs = 120000;  // only a hung run ever gets near this

const QString kCancelledLog =
    "USB Board Initialization Started\nInitialization cancelled by user\n";
const QString kNoCameraLog =
    "USB Board Initialization Started\nOpening camera connection\n"
    "Error 0x1 (Failed to connect to camera)\nCamera firmware update FAILED.";

template <typename T>
T* Control(const QWidget& window, int id) {
  return window.findChild<T*>(QStringLiteral("control%1").arg(id));
}

QString StatusText(const UpdateDialog& dialog) {
  return Control<QPlainTextEdit>(dialog, vesk::qt::kStatusBoxId)->toPlainText();
}

bool InputOpen(const UpdateDialog& dialog) {
  for (int id : {vesk::qt::kStartId, vesk::qt::kOkId, vesk::qt::kHelpId})
    if (!Control<QPushButton>(dialog, id)->isEnabled()) return false;
  return dialog.findChild<QPushButton*>(QStringLiteral("browseButton"))->isEnabled();
}

template <typename T>
T* Named(const QWidget& window, const char* name) {
  return window.findChild<T*>(QLatin1String(name));
}

// The pictures in docs/ come from an X server (the screenshot test runs this program on
// Xvfb); the offscreen run leaves them alone.
void SaveScreenshot(UpdateDialog& dialog, const char* name) {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
  QCoreApplication::processEvents();
  const QPixmap shot = dialog.screen()->grabWindow(dialog.winId());
  QCOMPARE(shot.size(), dialog.size());
  QVERIFY(shot.save(QDir(QStringLiteral(VESK_TEST_OUTPUT_DIR)).filePath(name)));
}

// Holds the board's requests once CamCon is half written; records the bar's last value and
// maximum for each file.
using ProgressSeen = std::map<QString, std::pair<int, int>>;
void HoldHalfWayThroughCamCon(UpdateDialog& dialog, HeldDriver& driver, ProgressSeen& seen) {
  auto* bar = Named<QProgressBar>(dialog, "imageProgress");
  auto held = std::make_shared<bool>(false);
  QObject::connect(bar, &QProgressBar::valueChanged, [bar, held, &driver, &seen](int value) {
    const QString file = bar->format().section(QLatin1Char(':'), 0, 0);
    seen[file] = {value, bar->maximum()};
    if (!*held && file == QLatin1String("camcon.bin") && value >= bar->maximum() / 2) {
      *held = true;
      driver.Hold();
    }
  });
}

const QString kHalfWayLog =
    "USB Board Initialization Started\nOpening camera connection\n"
    "Camera connection opened successfully\nDownloading USB control firmware\n"
    "Downloading BufCon...please wait.....\nDownloading CamCon...please wait.....\n";

}  // namespace

class UpdateDialogTest : public QObject {
  Q_OBJECT

 private slots:
  // The runs read the sample images unless a test chooses another folder.
  void initTestCase() { QVERIFY(QDir::setCurrent(QStringLiteral(VESK_SAMPLES_DIR))); }

  void WindowHasTheTemplatesTextsIdsAndLayout() {
    NoCameraDriver driver;
    UpdateDialog dialog(driver, {});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QCOMPARE(dialog.windowTitle(), QStringLiteral("Tarsel Vesk USB Update Tool"));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowMinMaxButtonsHint));
    const auto units = vesk::qt::DialogUnits::ForFont(dialog.font());
    QVERIFY2(units.baseX >= 4 && units.baseX <= 10 && units.baseY >= 10 && units.baseY <= 20,
             qPrintable(QStringLiteral("%1 x %2").arg(units.baseX).arg(units.baseY)));
    QCOMPARE(dialog.size(), units.ToPixels(QSize(574, 250)));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());

    for (const auto& control : vesk::qt::kMainDialogControls) {
      auto* widget = Control<QWidget>(dialog, control.id);
      QVERIFY2(widget != nullptr, control.text);
      QCOMPARE(widget->geometry(),
               units.ToPixels(QRect(control.x, control.y, control.width, control.height)));
      QVERIFY(dialog.rect().contains(widget->geometry()));
    }
    QCOMPARE(Control<QPushButton>(dialog, 1000)->text(), QStringLiteral("Start Initialization"));
    QVERIFY(Control<QPushButton>(dialog, 1000)->isDefault());
    QCOMPARE(Control<QPushButton>(dialog, 1)->text(), QStringLiteral("Close"));
    QCOMPARE(Control<QPushButton>(dialog, 57670)->text(), QStringLiteral("&Help"));
    QVERIFY(Control<QPushButton>(dialog, 57670)->isVisible());
    QCOMPARE(Control<QGroupBox>(dialog, -1)->title(), QStringLiteral("Board Initialization"));
    QCOMPARE(Control<QLabel>(dialog, 1002)->text(), QStringLiteral("Status:"));
    QCOMPARE(Control<QLabel>(dialog, 1005)->text(), QStringLiteral("Version 1.0"));
    QCOMPARE(Control<QLabel>(dialog, 1006)->text(),
             QStringLiteral("Device Values to be Programmed:  PID = 0x0010      DID = 0x0011"));
    auto* picture = Control<QLabel>(dialog, 136);
    QCOMPARE(picture->pixmap().size(), QSize(96, 196));

    auto* status = Control<QPlainTextEdit>(dialog, 1007);
    QVERIFY(status->toPlainText().isEmpty());
    QVERIFY(status->isReadOnly());
    QCOMPARE(status->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(status->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

    // Every text fits its control in the font the window was laid out with.
    for (int id : {1000, 1, 57670, 1002, 1005, 1006}) {
      auto* widget = Control<QWidget>(dialog, id);
      QVERIFY2(widget->sizeHint().width() <= widget->width() + 2,
               qPrintable(QStringLiteral("control %1: %2 > %3")
                              .arg(id)
                              .arg(widget->sizeHint().width())
                              .arg(widget->width())));
    }
    // What the window grew by stays clear of the template's controls; the progress and
    // the elapsed time go inside the frame, under the status box.
    const auto statusBox = Control<QWidget>(dialog, vesk::qt::kStatusBoxId)->geometry();
    for (const char* name :
         {"imagesPanel", "verdictPanel", "imageProgress", "elapsedTime", "causeLine"}) {
      const QRect added = Named<QWidget>(dialog, name)->geometry();
      QVERIFY2(dialog.rect().contains(added), name);
      for (const auto& control : vesk::qt::kMainDialogControls)
        if (control.kind != vesk::qt::ControlKind::GroupBox)
          QVERIFY2(!Control<QWidget>(dialog, control.id)->geometry().intersects(added), name);
    }
    QVERIFY(Named<QWidget>(dialog, "imageProgress")->y() >= statusBox.bottom());
    QVERIFY(Named<QWidget>(dialog, "causeLine")->y() >= statusBox.bottom());

    // The frame lies behind the controls inside it, so they take the clicks.
    auto* start = Control<QPushButton>(dialog, 1000);
    QCOMPARE(dialog.childAt(start->geometry().center()), start);
    QCOMPARE(QApplication::focusWidget(), start);

    // Tab order is the template's order of tab stops.
    QCOMPARE(start->nextInFocusChain(), Control<QWidget>(dialog, 1));
    QCOMPARE(Control<QWidget>(dialog, 1)->nextInFocusChain(), Control<QWidget>(dialog, 57670));
  }

  void ContextMenuAboutEntryOpensTheAboutBox() {
    NoCameraDriver driver;
    UpdateDialog dialog(driver, {});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QStringList entries;
    bool aboutSeen = false;
    QString aboutTitle;
    QStringList aboutTexts;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
      if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
        if (menu->property("handled").toBool()) return;
        menu->setProperty("handled", true);
        for (QAction* action : menu->actions()) entries << action->text();
        menu->setActiveAction(menu->actions().constLast());
        QTest::keyClick(menu, Qt::Key_Return);
      } else if (auto* about =
                     qobject_cast<vesk::qt::AboutBox*>(QApplication::activeModalWidget())) {
        if (aboutSeen) return;
        aboutSeen = true;
        aboutTitle = about->windowTitle();
        for (QLabel* label : about->findChildren<QLabel*>(QStringLiteral("control-1")))
          if (!label->text().isEmpty()) aboutTexts << label->text();
        auto* ok = about->findChild<QPushButton*>(QStringLiteral("control1"));
        QVERIFY(ok && ok->isDefault() && ok->text() == QStringLiteral("OK"));
        QVERIFY(about->isModal());
        ok->click();
      }
    });
    poll.start(5);

    const QPoint inside(5, 5);
    QContextMenuEvent event(QContextMenuEvent::Mouse, inside, dialog.mapToGlobal(inside));
    QApplication::sendEvent(&dialog, &event);

    QCOMPARE(entries, QStringList{QStringLiteral("&About Pelkor...")});
    QVERIFY(aboutSeen);
    QCOMPARE(aboutTitle, QStringLiteral("About Pelkor"));
    QVERIFY(aboutTexts.contains(QStringLiteral("Vesk USB Update Tool - Version 1.0")));
    QCOMPARE(aboutTexts.size(), 2);
    QVERIFY(dialog.isVisible());
  }

  void HelpOpensTheShippedManualOrSaysItCannot() {
    NoCameraDriver driver;
    QList<QUrl> opened;
    bool browserWorks = true;
    UpdateDialog dialog(driver, [&](const QUrl& page) {
      opened << page;
      return browserWorks;
    });
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* help = Control<QPushButton>(dialog, 57670);

    help->click();
    QCOMPARE(opened.size(), 1);
    QVERIFY(opened[0].isLocalFile());
    QFile page(opened[0].toLocalFile());
    QVERIFY(page.open(QIODevice::ReadOnly));
    QVERIFY(page.readAll().contains("<title>vesk-update"));

    browserWorks = false;
    MessageBoxAnswerer answerer({QMessageBox::Ok});
    help->click();
    QCOMPARE(answerer.Seen().size(), std::size_t(1));
    QCOMPARE(answerer.Seen()[0].text, QStringLiteral("Failed to launch help."));
    QCOMPARE(answerer.Seen()[0].caption, QCoreApplication::applicationName());
    QCOMPARE(answerer.Seen()[0].icon, QMessageBox::Warning);
    QVERIFY(dialog.isVisible());
    QVERIFY(InputOpen(dialog));
  }

  void NoAtTheFirstQuestionCancelsWithoutTouchingTheDevice() {
    NoCameraDriver driver;
    UpdateDialog dialog(driver, {});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QSignalSpy finished(&dialog, &UpdateDialog::runFinished);
    MessageBoxAnswerer answerer({QMessageBox::No});

    Control<QPushButton>(dialog, 1000)->click();
    QVERIFY(finished.wait(kRunTimeoutMs));

    QCOMPARE(StatusText(dialog), kCancelledLog);
    QCOMPARE(driver.Opens(), 0);
    QCOMPARE(answerer.Seen().size(), std::size_t(1));
    const auto& question = answerer.Seen()[0];
    QCOMPARE(question.text, QStringLiteral("Proceed with raw USB device initialization?"));
    QCOMPARE(question.caption, QStringLiteral("Vesk USB Update - Confirmation"));
    QCOMPARE(question.icon, QMessageBox::Question);
    QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::No);
    QVERIFY(InputOpen(dialog));
  }

  void WindowStaysLiveButShutToInputWhileARunIsGoingAndClosesAfterTheVerdict() {
    NoCameraDriver driver;
    driver.Hold();
    UpdateDialog dialog(driver, {});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QSignalSpy finished(&dialog, &UpdateDialog::runFinished);
    MessageBoxAnswerer answerer({QMessageBox::Yes, QMessageBox::Yes});

    Control<QPushButton>(dialog, 1000)->click();
    // The open is stuck on the worker; the interface thread still shows each line.
    QTRY_COMPARE_WITH_TIMEOUT(StatusText(dialog),
                              QStringLiteral("USB Board Initialization Started\n"
                                             "Opening camera connection\n"),
                              kRunTimeoutMs);
    QVERIFY(dialog.RunInProgress());
    QVERIFY(!Control<QPushButton>(dialog, 1000)->isEnabled());
    QVERIFY(!Control<QPushButton>(dialog, 1)->isEnabled());
    QVERIFY(!Control<QPushButton>(dialog, 57670)->isEnabled());
    QVERIFY(!Named<QPushButton>(dialog, "browseButton")->isEnabled());
    Control<QPushButton>(dialog, 1000)->click();  // a disabled button starts nothing
    QTest::keyClick(&dialog, Qt::Key_Escape);
    dialog.close();  // the close box and Alt+F4
    QVERIFY(dialog.isVisible());

    // Held until the verdict is shown, then carried out.
    driver.Release();
    QVERIFY(finished.wait(kRunTimeoutMs));
    QCOMPARE(StatusText(dialog), kNoCameraLog);
    QCOMPARE(Named<QLabel>(dialog, "verdictLine")->text(),
             QStringLiteral("Camera firmware update FAILED."));
    QVERIFY(!Named<QLabel>(dialog, "verdictIcon")->pixmap().isNull());
    QCOMPARE(Named<QLabel>(dialog, "causeLine")->text(), QStringLiteral("cannot open the camera"));
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(driver.Opens(), 1);

    // Shown again, a run starts afresh and leaves the window open: the held close was
    // used up.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    Control<QPushButton>(dialog, 1000)->click();
    QVERIFY(Named<QLabel>(dialog, "verdictLine")->text().isEmpty());
    QVERIFY(finished.wait(kRunTimeoutMs));
    QCOMPARE(StatusText(dialog), kNoCameraLog);
    QVERIFY(dialog.isVisible());
    QVERIFY(InputOpen(dialog));
    QCOMPARE(dialog.focusWidget(), Control<QWidget>(dialog, 1000));
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(!dialog.isVisible());
  }

  void ImageFolderIsChosenAndRememberedAndItsFilesChecked() {
    NoCameraDriver driver;
    const QString previous = QDir::currentPath();
    QTemporaryDir folder;
    UpdateDialog dialog(driver, {});
    auto* field = Named<QLineEdit>(dialog, "imageFolder");
    auto* start = Control<QPushButton>(dialog, 1000);
    QVERIFY(field->isReadOnly());
    QCOMPARE(field->text(), QDir::toNativeSeparators(previous));
    QVERIFY(start->isEnabled());
    const auto rows = [&] {  // the marks
      QStringList texts;
      for (int i = 0; i < 6; ++i)
        texts << dialog.findChild<QLabel*>(QStringLiteral("imageMark%1").arg(i))->text();
      return texts;
    };

    dialog.SetImageFolder(folder.path());
    const QString chosen = QFileInfo(folder.path()).canonicalFilePath();
    QCOMPARE(QDir::currentPath(), chosen);
    QCOMPARE(field->text(), chosen);
    QCOMPARE(vesk::qt::RememberedImageFolder(), chosen);
    QCOMPARE(rows(), QStringList(6, QStringLiteral("missing")));
    QVERIFY(!start->isEnabled());
    QCOMPARE(Named<QLabel>(dialog, "imageProblem")->text(), QStringLiteral("bufcon.bin: missing"));

    // One too big for its room, the FX2 image not a boot image; Start stays shut.
    const QDir samples(QStringLiteral(VESK_SAMPLES_DIR));
    for (const QString& name : samples.entryList(QDir::Files))
      QVERIFY(QFile::copy(samples.filePath(name), folder.filePath(name)));
    QFile camcon(folder.filePath("camcon.bin"));
    QVERIFY(camcon.open(QIODevice::WriteOnly) && camcon.write(QByteArray(300000, 'x')) == 300000);
    camcon.close();
    QFile fx2(folder.filePath("tarsel_usb.iic"));
    QVERIFY(fx2.open(QIODevice::ReadWrite) && fx2.write("\x00", 1) == 1);
    fx2.close();
    dialog.SetImageFolder(folder.path());
    QCOMPARE(rows(), QStringList({"ready", "too big for its room", "not a valid boot image",
                                  "ready", "ready", "ready"}));
    QCOMPARE(Named<QLabel>(dialog, "imageSize1")->text(), QStringLiteral("300000 bytes"));
    QVERIFY(Named<QLabel>(dialog, "imageProblem")
                ->text()
                .startsWith(QLatin1String("camcon.bin: 300000 bytes, CamCon holds at most ")));
    QVERIFY(!start->isEnabled());

    // Put right while the window is open: it sees that by itself.
    for (const char* name : {"camcon.bin", "tarsel_usb.iic"}) {
      QVERIFY(QFile::remove(folder.filePath(name)));
      QVERIFY(QFile::copy(samples.filePath(name), folder.filePath(name)));
    }
    QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 5000);
    QCOMPARE(rows(), QStringList(6, QStringLiteral("ready")));
    QVERIFY(Named<QLabel>(dialog, "imageProblem")->text().isEmpty());

    dialog.SetImageFolder(folder.filePath("gone"));  // refused, nothing changes
    QCOMPARE(QDir::currentPath(), chosen);
    QCOMPARE(field->text(), chosen);
    QVERIFY(QDir::setCurrent(previous));
    folder.remove();  // a remembered folder that is gone is not offered again
    QVERIFY(vesk::qt::RememberedImageFolder().isEmpty());
  }

  void BoardsAreShownAndOnlyTheChosenOneIsOpened() {
    const vesk::BoardInfo bare{"usb:1-2", 0x04B4, 0x8613, vesk::BoardState::BareFx2,
                               "bus 1 port 2"};
    const vesk::BoardInfo camera{"usb:1-3", 0x125C, 0x0010, vesk::BoardState::CameraFirmware, ""};
    HeldDriver driver;
    UpdateDialog dialog(driver, {});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* line = Named<QLabel>(dialog, "boardLine");
    auto* chooser = Named<QComboBox>(dialog, "boardChooser");
    auto* start = Control<QPushButton>(dialog, 1000);
    QCOMPARE(line->text(), QStringLiteral("No board attached"));
    QSignalSpy finished(&dialog, &UpdateDialog::runFinished);
    MessageBoxAnswerer answerer({QMessageBox::Yes, QMessageBox::Yes, QMessageBox::Yes});
    const auto runOpens = [&] {
      start->click();
      return finished.wait(kRunTimeoutMs) ? driver.LastOpenIndex() : -2;
    };

    // Several: nothing is chosen for the operator, and Start waits for a choice.
    driver.SetBoards({bare, camera});
    QTRY_VERIFY_WITH_TIMEOUT(chooser->isVisible(), 5000);
    QCOMPARE(chooser->count(), 2);
    QCOMPARE(line->text(), QStringLiteral("2 boards attached: choose one beside Start."));
    QVERIFY(!start->isEnabled());
    chooser->setCurrentIndex(1);
    QCOMPARE(line->text(), QStringLiteral("usb:1-3   125C:0010, camera firmware"));
    QCOMPARE(runOpens(), 1);

    // The choice follows its board when the other goes away; then the last one goes.
    driver.SetBoards({camera});
    QTRY_VERIFY_WITH_TIMEOUT(!chooser->isVisible(), 5000);
    QCOMPARE(line->text(), QStringLiteral("usb:1-3   125C:0010, camera firmware"));
    QCOMPARE(runOpens(), 0);
    driver.SetBoards({});
    QTRY_COMPARE_WITH_TIMEOUT(line->text(), QStringLiteral("No board attached"), 5000);
    QVERIFY(start->isEnabled());

    // A chosen board unplugged before the open is not replaced by the one now first.
    vesk::qt::ChosenBoardDriver chosen(driver);
    driver.SetBoards({bare, camera});
    chosen.Choose(camera.path);
    vesk::NativeDeviceHandle handle = 1;
    std::string path;
    QVERIFY(!chosen.OpenInterface(0, handle, path));
    QCOMPARE(driver.LastOpenIndex(), 1);
    driver.SetBoards({bare});
    const int opens = driver.Opens();
    QVERIFY(!chosen.OpenInterface(0, handle, path));
    QCOMPARE(driver.Opens(), opens);
    QCOMPARE(handle, vesk::kNullDeviceHandle);
  }

  void SessionEndAnswersNoOrStopsTheRunBeforeItsNextRequestThenCloses() {
    // At a question: No.
    {
      NoCameraDriver driver;
      UpdateDialog dialog(driver, {});
      vesk::qt::SessionEnd session;
      connect(&session, &vesk::qt::SessionEnd::requested, &dialog, &UpdateDialog::EndSession);
      dialog.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dialog));
      QSignalSpy finished(&dialog, &UpdateDialog::runFinished);
      QTimer signalAtTheQuestion;
      connect(&signalAtTheQuestion, &QTimer::timeout, [&] {
        if (!qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) return;
        signalAtTheQuestion.stop();
        std::raise(SIGTERM);
      });
      signalAtTheQuestion.start(5);
      Control<QPushButton>(dialog, 1000)->click();
      QVERIFY(finished.wait(kRunTimeoutMs));
      QCOMPARE(StatusText(dialog), kCancelledLog);
      QVERIFY(!dialog.isVisible());
      QCOMPARE(session.Signal(), SIGTERM);
      QCOMPARE(driver.Opens(), 0);
    }
    // Half-way through an image: the request under way completes, no other is sent.
    QString error;
    auto board = vesk::qt::ConnectBoard(vesk::qt::BoardKind::Emulated, error);
    QVERIFY2(board != nullptr, qPrintable(error));
    HeldDriver driver(&board->Driver());
    const QString previous = QDir::currentPath();
    UpdateDialog dialog(driver, {});
    dialog.SetImageFolder(QStringLiteral(VESK_SAMPLES_DIR));
    vesk::qt::SessionEnd session;
    connect(&session, &vesk::qt::SessionEnd::requested, &dialog, &UpdateDialog::EndSession);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QSignalSpy finished(&dialog, &UpdateDialog::runFinished);
    MessageBoxAnswerer answerer({QMessageBox::Yes, QMessageBox::Yes});
    ProgressSeen progress;
    HoldHalfWayThroughCamCon(dialog, driver, progress);
    Control<QPushButton>(dialog, 1000)->click();
    QTRY_VERIFY_WITH_TIMEOUT(driver.CallerHeld(), kRunTimeoutMs);
    std::raise(SIGHUP);
    QTest::qWait(50);
    QVERIFY(dialog.isVisible());
    driver.Release();
    QVERIFY(finished.wait(kRunTimeoutMs));
    QDir::setCurrent(previous);
    QCOMPARE(StatusText(dialog), kHalfWayLog + QStringLiteral("Error 0x4 (Failed to download "
                                                              "CamCon)\nCamera firmware update "
                                                              "FAILED."));
    QCOMPARE(answerer.Seen().size(), std::size_t(1));
    QVERIFY(!dialog.isVisible());
    QCOMPARE(session.Signal(), SIGHUP);
  }

  void FullRunOnTheEmulatedBoardSucceedsAndIsPhotographed() {
    QString error;
    auto board = vesk::qt::ConnectBoard(vesk::qt::BoardKind::Emulated, error);
    QVERIFY2(board != nullptr, qPrintable(error));
    HeldDriver driver(&board->Driver());
    const QString previous = QDir::currentPath();
    // A copy of the samples, so that the pictures show a folder of the user's kind.
    QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/vesk-XXXXXX"));
    const QDir images(scratch.filePath(QStringLiteral("vesk-images")));
    QVERIFY(images.mkpath(QStringLiteral(".")));
    for (const QFileInfo& file : QDir(QStringLiteral(VESK_SAMPLES_DIR)).entryInfoList(QDir::Files))
      QVERIFY(QFile::copy(file.filePath(), images.filePath(file.fileName())));
    UpdateDialog dialog(driver, {});
    dialog.SetImageFolder(images.path());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    SaveScreenshot(dialog, "dialog-linux-start.png");
    QSignalSpy finished(&dialog, &UpdateDialog::runFinished);
    MessageBoxAnswerer answerer({QMessageBox::Yes, QMessageBox::Yes});

    ProgressSeen lastProgress;
    HoldHalfWayThroughCamCon(dialog, driver, lastProgress);
    auto* bar = Named<QProgressBar>(dialog, "imageProgress");

    Control<QPushButton>(dialog, 1000)->click();
    QTRY_VERIFY_WITH_TIMEOUT(driver.CallerHeld(), kRunTimeoutMs);
    QTest::qWait(50);  // the progress already sent
    QVERIFY(bar->isVisible());
    QCOMPARE(StatusText(dialog), kHalfWayLog);
    QVERIFY2(bar->text().contains(QRegularExpression(
                 QStringLiteral("^camcon\\.bin: \\d+ of %1 bytes \\(\\d+%\\)$")
                     .arg(QFileInfo(QStringLiteral(VESK_SAMPLES_DIR "/camcon.bin")).size()))),
             qPrintable(bar->text()));
    QVERIFY(Named<QLabel>(dialog, "elapsedTime")->text().startsWith(QLatin1String("Elapsed 0:")));
    SaveScreenshot(dialog, "dialog-linux-run.png");
    driver.Release();
    QVERIFY(finished.wait(kRunTimeoutMs));
    QDir::setCurrent(previous);

    QCOMPARE(StatusText(dialog),
             QStringLiteral("USB Board Initialization Started\nOpening camera connection\n"
                            "Camera connection opened successfully\n"
                            "Downloading USB control firmware\n"
                            "Downloading BufCon...please wait.....\n"
                            "Downloading CamCon...please wait.....\n"
                            "Downloading FX2...please wait.....\n"
                            "Downloading GPIF waveforms...\nWriting USB ROM header...\n"
                            "Closing camera connection\nCamera connection closed\n"
                            "Power cycle complete\n"
                            "Camera firmware update SUCCESSFUL.  Update complete."));
    QCOMPARE(finished.at(0).at(0).toInt(), int(vesk::RunOutcome::Succeeded));
    QCOMPARE(answerer.Seen().size(), std::size_t(2));
    QCOMPARE(answerer.Seen()[1].text,
             QStringLiteral("Please power cycle the camera.\n\nAfter power cycle, the camera's "
                            "red LEDs should blink when the camera is ready.\n\nIs the camera "
                            "ready?"));
    QCOMPARE(answerer.Seen()[1].caption, QStringLiteral("Vesk USB Update - Confirmation"));
    QVERIFY(InputOpen(dialog));

    // Every image went through the bar to its whole length.
    QCOMPARE(lastProgress.size(), std::size_t(6));
    for (const auto& [file, progress] : lastProgress) {
      QCOMPARE(progress.second, QFileInfo(QStringLiteral(VESK_SAMPLES_DIR "/") + file).size());
      QCOMPARE(progress.first, progress.second);
    }
    QVERIFY(!bar->isVisible());
    auto* verdict = Named<QLabel>(dialog, "verdictLine");
    QCOMPARE(verdict->text(),
             QStringLiteral("Camera firmware update SUCCESSFUL.  Update complete."));
    QVERIFY(verdict->font().bold());
    QVERIFY(Named<QLabel>(dialog, "elapsedTime")
                ->text()
                .contains(QRegularExpression(QStringLiteral("^Elapsed \\d+:\\d\\d$"))));
    SaveScreenshot(dialog, "dialog-linux.png");
  }

  void CommandLineChoosesTheBoardAndTheImageDirectory() {
    using vesk::qt::BoardKind;
    using vesk::qt::ParseFrontEndOptions;
    QString error;
    auto defaults = ParseFrontEndOptions({"vesk-update-gui"}, error);
    QVERIFY(defaults && defaults->board == BoardKind::Usb && defaults->imageDirectory.isEmpty());
    auto emulated =
        ParseFrontEndOptions({"vesk-update-gui", "--board=emulated", "-C", "imgs"}, error);
    QVERIFY(emulated && emulated->board == BoardKind::Emulated);
    QCOMPARE(emulated->imageDirectory, QStringLiteral("imgs"));
    for (const QStringList& bad : {QStringList{"g", "--board=serial"}, QStringList{"g", "-C"},
                                   QStringList{"g", "--bogus"}, QStringList{"g", "extra"}}) {
      error.clear();
      QVERIFY(!ParseFrontEndOptions(bad, error));
      QVERIFY2(!error.isEmpty(), qPrintable(bad.join(' ')));
    }
  }
};

QTEST_MAIN(UpdateDialogTest)
#include "update_dialog_test.moc"
