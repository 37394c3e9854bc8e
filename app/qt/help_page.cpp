#include "app/qt/help_page.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace vesk::qt {

QString HelpPagePath() {
  const QString page = QStringLiteral("vesk-update.html");
  // The same place relative to the program when installed (/usr/bin, /usr/share) and in the
  // build tree (build/bin, build/share), where CMake writes the page with its version.
  const QFileInfo file(QDir(QCoreApplication::applicationDirPath())
                           .filePath(QStringLiteral("../share/vesk-update/help/") + page));
  if (file.isFile() && file.isReadable()) return file.canonicalFilePath();
  return {};
}

}  // namespace vesk::qt
