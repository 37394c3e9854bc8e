// vesk-update-gui: the board initialisation in a dialog window.

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QTextStream>

#include "app/qt/board_choice.h"
#include "app/qt/session_end.h"
#include "app/qt/update_dialog.h"
#include "device/back_ends/back_ends.h"
#include "vesk_version.h"

namespace {
constexpr int kUsageError = 64;  // as the console: EX_USAGE
}  // namespace

int main(int argc, char** argv) {
  // Answered before the application object exists, so that they work without a display.
  for (int i = 1; i < argc; ++i) {
    const QString argument = QString::fromLocal8Bit(argv[i]);
    if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
      QTextStream(stdout) << vesk::qt::kUsage;
      return 0;
    }
    if (argument == QLatin1String("--version")) {
      QTextStream(stdout) << "vesk-update-gui " VESK_VERSION "\n";
      return 0;
    }
  }

  QApplication application(argc, argv);
  QTextStream errors(stderr);

  QString error;
  auto options = vesk::qt::ParseFrontEndOptions(application.arguments(), error);
  if (!options) {
    errors << application.applicationName() << ": " << error << "\n" << vesk::qt::kUsage;
    return kUsageError;
  }
  // Without -C the window comes back to the folder of its last run.
  if (options->imageDirectory.isEmpty())
    options->imageDirectory = vesk::qt::RememberedImageFolder();
  if (!options->imageDirectory.isEmpty() && !QDir::setCurrent(options->imageDirectory)) {
    errors << application.applicationName() << ": cannot change to directory "
           << options->imageDirectory << "\n";
    return kUsageError;
  }
  const std::string_view name = vesk::qt::BackEndName(options->board);
  const std::unique_ptr<vesk::BackEnd> board = vesk::MakeBackEnd(name);
  if (!board) {
    errors << application.applicationName() << ": --board=" << QString::fromLatin1(name)
           << " is not available in this build\n";
    return kUsageError;
  }

  vesk::qt::UpdateDialog dialog(board->Driver(),
                                [](const QUrl& page) { return QDesktopServices::openUrl(page); });
  // libusb sees the board go and come back: that answers the power-cycle question.
  if (options->board == vesk::qt::BoardKind::Usb) dialog.WatchPowerCycles(30);
  vesk::qt::SessionEnd session;
  QObject::connect(&session, &vesk::qt::SessionEnd::requested, &dialog,
                   &vesk::qt::UpdateDialog::EndSession);
  dialog.exec();
  return session.Signal() != 0 ? 128 + session.Signal() : 0;
}
