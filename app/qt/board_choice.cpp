#include "app/qt/board_choice.h"

#include <QCommandLineParser>

#include "device/libusb/libusb_board_source.h"
#include "device/usb/usb_camera_driver.h"
#include "sim/board/emulated_board.h"

namespace vesk::qt {
namespace {

class UsbBoardConnection : public BoardConnection {
 public:
  CameraDriver& Driver() override { return driver_; }

 private:
  usb::LibusbBoardSource source_;
  usb::UsbCameraDriver driver_{source_};
};

// A freshly powered board with erased EEPROMs; what a run writes lasts until the program
// ends.
class EmulatedBoardConnection : public BoardConnection {
 public:
  CameraDriver& Driver() override { return driver_; }

 private:
  sim::board::EmulatedBoard board_;
  sim::board::EmulatedBoardSource source_{board_};
  usb::UsbCameraDriver driver_{source_};
};

}  // namespace

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

std::unique_ptr<BoardConnection> ConnectBoard(BoardKind board, QString& error) {
  switch (board) {
    case BoardKind::Usb:
      return std::make_unique<UsbBoardConnection>();
    case BoardKind::Emulated:
      return std::make_unique<EmulatedBoardConnection>();
  }
  error = QStringLiteral("Unknown kind of board.");
  return nullptr;
}

}  // namespace vesk::qt
