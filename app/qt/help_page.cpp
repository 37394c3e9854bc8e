#include "app/qt/help_page.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace vesk::qt {

QString HelpPagePath() {
  const QString page = QStringLiteral("vesk-update.html");
  const QStringList candidates{
      QDir(QCoreApplication::applicationDirPath())
          .filePath(QStringLiteral("../share/vesk-update/help/") + page),
      QDir(QStringLiteral(VESK_SOURCE_HELP_DIR)).filePath(page),
  };
  for (const QString& candidate : candidates) {
    const QFileInfo file(candidate);
    if (file.isFile() && file.isReadable()) return file.canonicalFilePath();
  }
  return {};
}

}  // namespace vesk::qt
