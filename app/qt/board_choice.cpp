#include "app/qt/board_choice.h"

#include <QCommandLineParser>


namespace vesk::qt {

std::optional<FrontEndOptions> ParseFrontEndOptions(const QStringList& arguments, QString& error) {
  QCommandLineParser parser;
  const QCommandLineOption board(QStringLiteral("board"),
                                 QStringLiteral("The board to initialize: usb or emulated."),
                                 QStringLiteral("KIND"), QStringLiteral("usb"));
  const QCommandLineOption directory(
      QStringLiteral("C"), QStringLiteral("Read the image files from DIR."), QStringLiteral("DIR"));
  parser.addOption(board);
  parser.addOption(directory);
  if (!parser.parse(arguments)) {
    error = parser.errorText();
    return std::nullopt;
  }
  if (!parser.positionalArguments().isEmpty()) {
    error = QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().first());
    return std::nullopt;
  }
  FrontEndOptions options;
  const QString kind = parser.value(board);
  if (kind == QLatin1String("usb")) {
    options.board = BoardKind::Usb;
  } else if (kind == QLatin1String("emulated")) {
    options.board = BoardKind::Emulated;
  } else {
    error = QStringLiteral("Unknown board '%1': use usb or emulated.").arg(kind);
    return std::nullopt;
  }
  if (parser.isSet(directory)) {
    options.imageDirectory = parser.value(directory);
    if (options.imageDirectory.isEmpty()) {
      error = QStringLiteral("-C needs a directory.");
      return std::nullopt;
    }
  }
  return options;
}

std::string_view BackEndName(BoardKind board) {
  return board == BoardKind::Emulated ? "emulated" : "usb";
}

}  // namespace vesk::qt
