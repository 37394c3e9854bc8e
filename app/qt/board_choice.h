#pragma once
// The command line of the dialog program, the same as the console's: which board to
// initialise (--board=usb, the default, or --board=emulated) and the directory that holds
// the image files (-C DIR).

#include <QString>
#include <QStringList>
#include <optional>
#include <string_view>

namespace vesk::qt {

enum class BoardKind { Usb, Emulated };

struct FrontEndOptions {
  BoardKind board = BoardKind::Usb;
  QString imageDirectory;  // empty: the current directory
};

inline constexpr const char* kUsage =
    "Usage: vesk-update-gui [--board=usb|emulated] [-C DIR]\n"
    "  --board=usb       the first attached board (default)\n"
    "  --board=emulated  an emulated board running the control firmware\n"
    "  -C DIR            read the image files from DIR\n";

// `arguments` includes the program name. On a bad command line returns nothing and sets
// `error` to the message for the operator.
std::optional<FrontEndOptions> ParseFrontEndOptions(const QStringList& arguments, QString& error);

// The back end's name for `board` (device/back_ends/back_ends.h).
std::string_view BackEndName(BoardKind board);

}  // namespace vesk::qt
