// The dialog in Qt's offscreen platform: its window, its boxes, its board choice and runs.

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "app/qt/about_box.h"
#include "app/qt/board_choice.h"
#include "app/qt/dialog_templates.h"
#include "app/qt/session_end.h"
#include "app/qt/update_dialog.h"
#include "device/back_ends/back_ends.h"
#include "device/camera_driver.h"

#include <unistd.h>

using vesk::qt::UpdateDialog;

namespace {

// What the process writes on its standard output while it lives.
class StandardOutputCatch {
 public:
  StandardOutputCatch() : file_(std::tmpfile()) {
    std::cout.flush();
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    if (file_ != nullptr) ::dup2(::fileno(file_), STDOUT_FILENO);
  }
  ~StandardOutputCatch() { Restore(); }
  // Ends the catch and returns what was written.
  QByteArray Caught() {
    Restore();
    QByteArray text;
    if (file_ == nullptr) return "(no temporary file to catch it)";
    std::rewind(file_);
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file_)) > 0;)
      text.append(chunk, static_cast<qsizetype>(n));
    return text;
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    saved_ = -1;
  }
  std::FILE* file_;
  int saved_ = -1;
};

struct SeenMessageBox {
  QString text;
  QString caption;
  QMessageBox::StandardButtons buttons;
};

// Answers the modal message boxes that open from now on, one answer each, in order, and records
// what they said. A box with no answer left is recorded and left open.
class MessageBoxAnswerer : public QObject {
 public:
  explicit MessageBoxAnswerer(std::deque<QMessageBox::StandardButton> answers)
      : answers_(std::move(answers)) {
    connect(&poll_, &QTimer::timeout, this, [this] { Poll(); });
    poll_.start(5);
  }
  const std::vector<SeenMessageBox>& Seen() const { return seen_; }

 private:
  void Poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible() || box->property("answered").toBool()) return;
    box->setProperty("answered", true);
    seen_.push_back({box->text(), box->windowTitle(), box->standardButtons()});
    if (answers_.empty()) return;
    const QMessageBox::StandardButton answer = answers_.front();
    answers_.pop_front();
    QTimer::singleShot(0, box, [box, answer] { box->button(answer)->click(); });
  }

  std::deque<QMessageBox::StandardButton> answers_;
  std::vector<SeenMessageBox> seen_;
  QTimer poll_;
};

// A driver that holds its caller at the next open or request until the test lets it go on. Around a
// real driver it passes everything through; without one it lists the boards it is given and opens
// none of them.
class HeldDriver : public vesk::CameraDriver {
 public:
  explicit HeldDriver(vesk::CameraDriver* inner = nullptr) : inner_(inner) {}

  void Hold() { Set(held_, true); }
  void Release() {
    Set(held_, false);
    released_.notify_all();
  }
  void SetBoards(std::vector<vesk::BoardInfo> boards) { Set(boards_, std::move(boards)); }
  // Listed in place of what the real driver lists (a board that went away and came back).
  void ListInstead(std::vector<vesk::BoardInfo> boards) { Set(listed_, std::move(boards)); }
  bool CallerHeld() const { return Get(waiting_); }
  int Opens() const { return Get(opens_); }
  int LastOpenIndex() const { return Get(lastOpenIndex_); }

  vesk::DriverStatus OpenInterface(std::uint16_t index, vesk::NativeDeviceHandle& handle,
                                   std::string& path) override {
    WaitWhileHeld(index);
    if (inner_ != nullptr) return inner_->OpenInterface(index, handle, path);
    handle = vesk::kNullDeviceHandle;
    return vesk::Failure(vesk::StatusKind::Other);
  }
  vesk::DriverStatus IoControl(vesk::NativeDeviceHandle handle, std::uint32_t code,
                               std::span<const std::uint8_t> in,
                               std::span<std::uint8_t> out) override {
    WaitWhileHeld(-1);
    if (inner_ != nullptr) return inner_->IoControl(handle, code, in, out);
    return vesk::Failure(vesk::StatusKind::Other);
  }
  void Close(vesk::NativeDeviceHandle handle) override {
    if (inner_ != nullptr) inner_->Close(handle);
  }
  std::vector<vesk::BoardInfo> ListBoards() override {
    if (auto listed = Get(listed_)) return *listed;
    return inner_ != nullptr ? inner_->ListBoards() : Get(boards_);
  }

 private:
  template <typename T, typename V>
  void Set(T& field, V&& value) {
    std::lock_guard lock(mutex_);
    field = std::forward<V>(value);
  }
  template <typename T>
  T Get(const T& field) const {
    std::lock_guard lock(mutex_);
    return field;
  }
  // openIndex: the board an open asks for; -1 for a request.
  void WaitWhileHeld(int openIndex) {
    std::unique_lock lock(mutex_);
    if (openIndex >= 0) {
      ++opens_;
      lastOpenIndex_ = openIndex;
    }
    waiting_ = held_;
    released_.wait(lock, [this] { return !held_; });
    waiting_ = false;
  }

  vesk::CameraDriver* inner_;
  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  bool waiting_ = false;
  int opens_ = 0;
  int lastOpenIndex_ = -1;
  std::vector<vesk::BoardInfo> boards_;
  std::optional<std::vector<vesk::BoardInfo>> listed_;
};

constexpr int kRunTimeoutMs = 120000;  // only a hung run ever gets near this
const QString kStarted = QStringLiteral("USB Board Initialization Started\n");
const QString kOpening = kStarted + "Opening camera connection\n";
const QString kHalfWayLog = kOpening +
                            "Camera connection opened successfully\nDownloading USB "
                            "control firmware\nDownloading BufCon...please wait.....\n"
                            "Downloading CamCon...please wait.....\n";

template <typename T = QWidget>
T* Named(const QWidget& window, const QString& name) {
  return window.findChild<T*>(name);
}
template <typename T = QWidget>
T* Control(const QWidget& window, int id) {
  return Named<T>(window, QStringLiteral("control%1").arg(id));
}
QString Text(const QWidget& window, const char* label) {
  return Named<QLabel>(window, label)->text();
}

// The window, shown, on a driver the test holds, around a real one or around boards that are only
// listed.
struct Window {
  explicit Window(vesk::CameraDriver* inner = nullptr, vesk::qt::HelpLauncher help = {})
      : driver(inner), dialog(driver, std::move(help)) {
    dialog.show();
  }
  bool Exposed() { return QTest::qWaitForWindowExposed(&dialog); }
  QPushButton* Start() const { return Control<QPushButton>(dialog, vesk::qt::kStartId); }
  QString Status() const {
    return Control<QPlainTextEdit>(dialog, vesk::qt::kStatusBoxId)->toPlainText();
  }
  bool InputOpen() const {
    for (int id : {vesk::qt::kStartId, vesk::qt::kOkId, vesk::qt::kHelpId})
      if (!Control(dialog, id)->isEnabled()) return false;
    return Named(dialog, "browseButton")->isEnabled();
  }

  HeldDriver driver;
  UpdateDialog dialog;
  QSignalSpy finished{&dialog, &UpdateDialog::runFinished};
};

struct EmulatedBoard {
  std::unique_ptr<vesk::BackEnd> board = vesk::MakeBackEnd("emulated");
};

// A window on a fresh emulated board reading the images in `folder`, whose requests are held once
// CamCon is half written. `progress` keeps the bar's last value and maximum for each file.
struct HalfWayRun : EmulatedBoard, Window {
  explicit HalfWayRun(const QString& folder) : Window(&board->Driver()) {
    dialog.SetImageFolder(folder);
    auto* bar = Named<QProgressBar>(dialog, "imageProgress");
    QObject::connect(bar, &QProgressBar::valueChanged, [this, bar](int value) {
      const QString file = bar->format().section(QLatin1Char(':'), 0, 0);
      progress[file] = {value, bar->maximum()};
      if (!held && file == QLatin1String("camcon.bin") && value >= bar->maximum() / 2) {
        held = true;
        driver.Hold();
      }
    });
  }
  ~HalfWayRun() { QDir::setCurrent(previous); }
  bool StartAndWaitForTheHold() {
    if (!Exposed()) return false;
    Start()->click();
    return QTest::qWaitFor([this] { return driver.CallerHeld(); }, kRunTimeoutMs);
  }

  const QString previous = QDir::currentPath();
  std::map<QString, std::pair<int, int>> progress;
  bool held = false;
};

// The pictures in docs/ come from an X server (the screenshot test runs this program on Xvfb); the
// offscreen run leaves them alone.
void SaveScreenshot(UpdateDialog& dialog, const char* name) {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
  QCoreApplication::processEvents();
  QVERIFY(dialog.screen()
              ->grabWindow(dialog.winId())
              .save(QDir(QStringLiteral(VESK_TEST_OUTPUT_DIR)).filePath(name)));
}

}  // namespace

class UpdateDialogTest : public QObject {
  Q_OBJECT

 private slots:
  // The runs read the sample images unless a test chooses another folder.
  void initTestCase() { QVERIFY(QDir::setCurrent(QStringLiteral(VESK_SAMPLES_DIR))); }

  // Every text fits its control; the frame lies behind the controls, so they take the clicks; Start
  // has the focus and the tab stops follow the template's order.
  void WindowTakesInputWhereTheTemplatePutsIt() {
    Window w;
    QVERIFY(w.Exposed());
    for (const auto& control : vesk::qt::kMainDialogControls) {
      QWidget* widget = Control(w.dialog, control.id);
      if (control.kind == vesk::qt::ControlKind::Text ||
          control.kind == vesk::qt::ControlKind::Button)
        QVERIFY2(widget->sizeHint().width() <= widget->width() + 2, control.text);
    }
    QCOMPARE(w.dialog.childAt(w.Start()->geometry().center()), w.Start());
    QCOMPARE(QApplication::focusWidget(), w.Start());
    QCOMPARE(w.Start()->nextInFocusChain(), Control(w.dialog, vesk::qt::kOkId));
    QCOMPARE(Control(w.dialog, vesk::qt::kOkId)->nextInFocusChain(),
             Control(w.dialog, vesk::qt::kHelpId));
  }

  // The context menu's one entry opens the About box, whose texts fit; Help opens the shipped
  // page of this version, or says it cannot when no browser starts.
  void AboutAndHelpFromTheIdleWindow() {
    QList<QUrl> opened;
    bool browserWorks = true;
    Window w(nullptr, [&](const QUrl& page) {
      opened << page;
      return browserWorks;
    });
    QVERIFY(w.Exposed());
    QStringList seen;  // the menu's entries, then the About box's title
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
      if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
          menu && seen.isEmpty()) {
        for (QAction* action : menu->actions()) seen << action->text();
        menu->setActiveAction(menu->actions().constLast());
        QTest::keyClick(menu, Qt::Key_Return);
      } else if (auto* about =
                     qobject_cast<vesk::qt::AboutBox*>(QApplication::activeModalWidget())) {
        seen << about->windowTitle();
        for (const QLabel* label : about->findChildren<QLabel*>())
          if (label->sizeHint().width() > label->width() + 2) seen << label->text();
        Control<QPushButton>(*about, vesk::qt::kOkId)->click();
      }
    });
    poll.start(5);
    QContextMenuEvent event(QContextMenuEvent::Mouse, {5, 5}, w.dialog.mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&w.dialog, &event);
    QCOMPARE(seen.join(QStringLiteral(" | ")),
             QStringList({vesk::qt::kAboutEntryText, vesk::qt::kAboutBox.caption})
                 .join(QStringLiteral(" | ")));

    auto* help = Control<QPushButton>(w.dialog, vesk::qt::kHelpId);
    help->click();
    QFile page(opened.value(0).toLocalFile());
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QByteArray manual = page.readAll();
    QVERIFY(manual.contains("<title>vesk-update") && manual.contains("vesk-update " VESK_VERSION));
    browserWorks = false;
    MessageBoxAnswerer answerer({QMessageBox::Ok});
    help->click();
    QCOMPARE(answerer.Seen().size(), std::size_t(1));
    QCOMPARE(answerer.Seen()[0].text, QString::fromLatin1(vesk::qt::kHelpFailedText));
    QVERIFY(w.dialog.isVisible() && w.InputOpen());
  }

  // No, or the session ending, at the first question cancels before any board is opened; the ended
  // session also closes the window.
  void TheFirstQuestionAnsweredNoOrEndedTouchesNoBoard() {
    for (const bool sessionEnds : {false, true}) {
      Window w;
      vesk::qt::SessionEnd session;
      connect(&session, &vesk::qt::SessionEnd::requested, &w.dialog, &UpdateDialog::EndSession);
      QVERIFY(w.Exposed());
      MessageBoxAnswerer answerer({});  // records the question; the timer answers it
      QTimer answer;
      connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || answerer.Seen().empty()) return;
        answer.stop();
        if (sessionEnds)
          std::raise(SIGTERM);
        else
          box->button(QMessageBox::No)->click();
      });
      answer.start(5);
      w.Start()->click();
      QVERIFY(w.finished.wait(kRunTimeoutMs));
      QCOMPARE(w.Status(), kStarted + "Initialization cancelled by user\n");
      QCOMPARE(w.driver.Opens(), 0);
      QCOMPARE(answerer.Seen().size(), std::size_t(1));
      QCOMPARE(answerer.Seen()[0].text,
               QStringLiteral("Proceed with raw USB device initialization?"));
      QCOMPARE(answerer.Seen()[0].caption, QStringLiteral("Vesk USB Update - Confirmation"));
      QCOMPARE(answerer.Seen()[0].buttons, QMessageBox::Yes | QMessageBox::No);
      QCOMPARE(w.dialog.isVisible(), !sessionEnds);
      QCOMPARE(session.Signal(), sessionEnds ? SIGTERM : 0);
    }
  }

  void ARunShutsTheWindowToInputAndHoldsItsCloseUntilTheVerdict() {
    Window w;
    w.driver.Hold();
    QVERIFY(w.Exposed());
    MessageBoxAnswerer answerer({QMessageBox::Yes, QMessageBox::Yes});
    w.Start()->click();
    // The open is stuck on the worker; the interface thread still shows each line.
    QTRY_COMPARE_WITH_TIMEOUT(w.Status(), kOpening, kRunTimeoutMs);
    for (const char* name : {"control1000", "control1", "control57670", "browseButton"})
      QVERIFY2(!Named(w.dialog, name)->isEnabled(), name);
    w.Start()->click();  // a disabled button starts nothing
    QTest::keyClick(&w.dialog, Qt::Key_Escape);
    w.dialog.close();  // the close box and Alt+F4
    QVERIFY(w.dialog.isVisible());

    w.driver.Release();
    QVERIFY(w.finished.wait(kRunTimeoutMs));
    QCOMPARE(w.finished.size(), 1);
    QCOMPARE(w.Status(), kOpening +
                             "Error 0x1 (Failed to connect to camera)\nCamera firmware "
                             "update FAILED.");
    QCOMPARE(Text(w.dialog, "verdictLine"), QStringLiteral("Camera firmware update FAILED."));
    QCOMPARE(Text(w.dialog, "causeLine"), QStringLiteral("cannot open the camera"));
    QVERIFY(!w.dialog.isVisible());
    QCOMPARE(w.driver.Opens(), 1);

    // Shown again, a run leaves the window open: the held close was used up.
    w.dialog.show();
    QVERIFY(w.Exposed());
    w.Start()->click();
    QVERIFY(Text(w.dialog, "verdictLine").isEmpty());
    QVERIFY(w.finished.wait(kRunTimeoutMs));
    QVERIFY(w.dialog.isVisible() && w.InputOpen());
    QCOMPARE(w.dialog.focusWidget(), w.Start());
  }

  // Start waits for fit image files; a folder put right while the window is open counts at once;
  // the folder is remembered while it exists.
  void ImageFolderGatesStartAndIsRemembered() {
    const QString previous = QDir::currentPath();
    QTemporaryDir folder;
    Window w;
    QVERIFY(w.Start()->isEnabled());
    w.dialog.SetImageFolder(folder.path());
    const QString chosen = QFileInfo(folder.path()).canonicalFilePath();
    QCOMPARE(QDir::currentPath(), chosen);
    QCOMPARE(vesk::qt::RememberedImageFolder(), chosen);
    QVERIFY(!w.Start()->isEnabled());
    QCOMPARE(Text(w.dialog, "imageProblem"), QStringLiteral("bufcon.bin: missing"));

    const QDir samples(QStringLiteral(VESK_SAMPLES_DIR));
    for (const QString& name : samples.entryList(QDir::Files))
      QVERIFY(QFile::copy(samples.filePath(name), folder.filePath(name)));
    QTRY_VERIFY_WITH_TIMEOUT(w.Start()->isEnabled(), 5000);
    QVERIFY(Text(w.dialog, "imageProblem").isEmpty());

    w.dialog.SetImageFolder(folder.filePath("gone"));  // refused, nothing changes
    QCOMPARE(QDir::currentPath(), chosen);
    QVERIFY(QDir::setCurrent(previous));
    folder.remove();  // a remembered folder that is gone is not offered again
    QVERIFY(vesk::qt::RememberedImageFolder().isEmpty());
  }

  void BoardsAreShownAndOnlyTheChosenOneIsOpened() {
    const vesk::BoardInfo bare{"usb:1-2", 0x04B4, 0x8613, vesk::BoardState::BareFx2, "port 2"};
    const vesk::BoardInfo camera{"usb:1-3", 0x125C, 0x0010, vesk::BoardState::CameraFirmware, ""};
    const QString cameraLine = QStringLiteral("usb:1-3   125C:0010, camera firmware");
    Window w;
    QVERIFY(w.Exposed());
    auto* chooser = Named<QComboBox>(w.dialog, "boardChooser");
    QCOMPARE(Text(w.dialog, "boardLine"), QStringLiteral("No board attached"));
    MessageBoxAnswerer answerer({QMessageBox::Yes, QMessageBox::Yes});
    const auto runOpens = [&] {
      w.Start()->click();
      return w.finished.wait(kRunTimeoutMs) ? w.driver.LastOpenIndex() : -2;
    };

    // Several: nothing is chosen for the operator, and Start waits for a choice.
    w.driver.SetBoards({bare, camera});
    QTRY_VERIFY_WITH_TIMEOUT(chooser->isVisible(), 5000);
    QCOMPARE(Text(w.dialog, "boardLine"),
             QStringLiteral("2 boards attached: choose one beside Start."));
    QVERIFY(!w.Start()->isEnabled());
    chooser->setCurrentIndex(1);
    QCOMPARE(Text(w.dialog, "boardLine"), cameraLine);
    QCOMPARE(runOpens(), 1);

    // The choice follows its board when the other goes away; then the last one goes.
    w.driver.SetBoards({camera});
    QTRY_VERIFY_WITH_TIMEOUT(!chooser->isVisible(), 5000);
    QCOMPARE(Text(w.dialog, "boardLine"), cameraLine);
    QCOMPARE(runOpens(), 0);
    w.driver.SetBoards({});
    QTRY_COMPARE_WITH_TIMEOUT(Text(w.dialog, "boardLine"), QStringLiteral("No board attached"),
                              5000);
  }

  // The request under way when the session ends completes; no other is sent, and the window closes
  // on the verdict.
  void SessionEndingMidImageStopsBeforeTheNextRequest() {
    HalfWayRun run(QStringLiteral(VESK_SAMPLES_DIR));
    vesk::qt::SessionEnd session;
    connect(&session, &vesk::qt::SessionEnd::requested, &run.dialog, &UpdateDialog::EndSession);
    MessageBoxAnswerer answerer({QMessageBox::Yes});
    QVERIFY(run.StartAndWaitForTheHold());
    std::raise(SIGHUP);
    QTest::qWait(50);
    QVERIFY(run.dialog.isVisible());
    run.driver.Release();
    QVERIFY(run.finished.wait(kRunTimeoutMs));
    QCOMPARE(run.Status(), kHalfWayLog +
                               "Error 0x4 (Failed to download CamCon)\nCamera "
                               "firmware update FAILED.");
    QVERIFY(!run.dialog.isVisible());
    QCOMPARE(session.Signal(), SIGHUP);
  }

  void FullRunOnTheEmulatedBoardSucceedsAndIsPhotographed() {
    // A copy of the samples, so that the pictures show a folder of the user's kind.
    QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/vesk-XXXXXX"));
    const QDir images(scratch.filePath(QStringLiteral("vesk-images")));
    QVERIFY(images.mkpath(QStringLiteral(".")));
    for (const QFileInfo& file : QDir(QStringLiteral(VESK_SAMPLES_DIR)).entryInfoList(QDir::Files))
      QVERIFY(QFile::copy(file.filePath(), images.filePath(file.fileName())));
    HalfWayRun run(images.path());
    QVERIFY(run.Exposed());
    SaveScreenshot(run.dialog, "dialog-linux-start.png");
    MessageBoxAnswerer answerer({QMessageBox::Yes, QMessageBox::Yes});
    StandardOutputCatch standardOutput;
    QVERIFY(run.StartAndWaitForTheHold());
    QTest::qWait(50);  // the progress already sent
    auto* bar = Named<QProgressBar>(run.dialog, "imageProgress");
    QVERIFY2(bar->isVisible() && bar->text().startsWith("camcon.bin: "), qPrintable(bar->text()));
    QCOMPARE(run.Status(), kHalfWayLog);
    QVERIFY(Text(run.dialog, "elapsedTime").startsWith(QLatin1String("Elapsed 0:")));
    SaveScreenshot(run.dialog, "dialog-linux-run.png");
    run.driver.Release();
    QVERIFY(run.finished.wait(kRunTimeoutMs));

    // The files it read are no lines of the log, and go nowhere else either (QTest's own
    // warnings share the stream).
    const QByteArray printed = standardOutput.Caught();
    QVERIFY2(!printed.contains("Reading file"), printed.constData());
    QCOMPARE(run.finished.at(0).at(0).toInt(), int(vesk::RunOutcome::Succeeded));
    QCOMPARE(answerer.Seen().size(), std::size_t(2));
    QVERIFY(answerer.Seen()[1].text.endsWith(QLatin1String("Is the camera ready?")));
    QCOMPARE(Text(run.dialog, "verdictLine"),
             QStringLiteral("Camera firmware update SUCCESSFUL.  Update complete."));
    QVERIFY(!bar->isVisible() && run.InputOpen());
    // Every image went through the bar to its whole length.
    QCOMPARE(run.progress.size(), std::size_t(6));
    for (const auto& [file, progress] : run.progress) {
      QCOMPARE(progress.second, QFileInfo(images.filePath(file)).size());
      QCOMPARE(progress.first, progress.second);
    }
    SaveScreenshot(run.dialog, "dialog-linux.png");
  }

  // Where the back end sees boards go and come back, the board answers the power-cycle
  // question: its box closes for the operator, Yes when the board returns as the FX2 image
  // declares, No (and why) when it returns as something else.
  void ThePowerCycledBoardClosesTheQuestionWithWhatItDid() {
    const QString previous = QDir::currentPath();
    for (const bool asCamera : {true, false}) {
      EmulatedBoard emulated;
      Window w(&emulated.board->Driver());
      w.dialog.SetImageFolder(QStringLiteral(VESK_SAMPLES_DIR));
      w.dialog.WatchPowerCycles(20);
      QVERIFY(w.Exposed());
      MessageBoxAnswerer answerer({QMessageBox::Yes});  // the power-cycle box is left open
      vesk::BoardInfo back;
      back.path = "emulated:0";
      back.vendorId = asCamera ? 0x125C : 0x04B4;
      back.productId = asCamera ? 0x0010 : 0x8613;
      // The box runs its own loop: the board goes and comes back from a timer inside it.
      QTimer powerCycle;
      connect(&powerCycle, &QTimer::timeout, [&] {
        if (answerer.Seen().size() < 2) return;
        powerCycle.stop();
        w.driver.ListInstead({});
        QTimer::singleShot(700, [&] { w.driver.ListInstead({back}); });
      });
      powerCycle.start(5);
      w.Start()->click();
      QVERIFY(w.finished.wait(kRunTimeoutMs));
      QCOMPARE(w.finished.at(0).at(0).toInt(),
               int(asCamera ? vesk::RunOutcome::Succeeded : vesk::RunOutcome::Failed));
      if (!asCamera) {
        QVERIFY2(w.Status().endsWith(QStringLiteral("Error 0x8 (Failed to correctly power cycle\n"
                                                    "Camera firmware update FAILED.")),
                 qPrintable(w.Status()));
        QVERIFY2(Text(w.dialog, "causeLine").contains("came back as 04B4:8613, not 125C:0010"),
                 qPrintable(Text(w.dialog, "causeLine")));
      }
      QCOMPARE(answerer.Seen().size(), std::size_t(2));
    }
    QDir::setCurrent(previous);
  }

  void CommandLineChoosesTheBoardAndTheImageDirectory() {
    QString error;
    auto usb = vesk::qt::ParseFrontEndOptions({"g"}, error);
    QVERIFY(usb && usb->board == vesk::qt::BoardKind::Usb && usb->imageDirectory.isEmpty());
    auto emulated = vesk::qt::ParseFrontEndOptions({"g", "--board=emulated", "-C", "imgs"}, error);
    QVERIFY(emulated && emulated->board == vesk::qt::BoardKind::Emulated);
    QCOMPARE(emulated->imageDirectory, QStringLiteral("imgs"));
    for (const QStringList& bad : {QStringList{"g", "--board=serial"}, QStringList{"g", "-C"},
                                   QStringList{"g", "--bogus"}, QStringList{"g", "extra"}}) {
      error.clear();
      QVERIFY(!vesk::qt::ParseFrontEndOptions(bad, error));
      QVERIFY2(!error.isEmpty(), qPrintable(bad.join(' ')));
    }
  }
};

QTEST_MAIN(UpdateDialogTest)
#include "update_dialog_test.moc"
