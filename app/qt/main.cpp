// vesk-update-gui: the board initialisation in a dialog window.

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QTextStream>

#include "app/qt/board_choice.h"
#include "app/qt/update_dialog.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QTextStream errors(stderr);

  QString error;
  const auto options = vesk::qt::ParseFrontEndOptions(application.arguments(), error);
  if (!options) {
    errors << application.applicationName() << ": " << error << "\n"
           << "Usage: " << application.applicationName()
           << " [--board=usb|emulated] [-C DIR]\n";
    return 2;
  }
  if (!options->imageDirectory.isEmpty() && !QDir::setCurrent(options->imageDirectory)) {
    errors << application.applicationName() << ": cannot change to directory "
           << options->imageDirectory << "\n";
    return 2;
  }
  auto board = vesk::qt::ConnectBoard(options->board, error);
  if (!board) {
    errors << application.applicationName() << ": " << error << "\n";
    return 2;
  }

  vesk::qt::UpdateDialog dialog(board->Driver(),
                                [](const QUrl& page) { return QDesktopServices::openUrl(page); });
  dialog.exec();
  return 0;
}
