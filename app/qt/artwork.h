#pragma once
// The dialog's picture and the application icon, drawn rather than shipped as files.

#include <QIcon>
#include <QPixmap>

namespace vesk::qt {

inline constexpr int kPictureWidth = 96;
inline constexpr int kPictureHeight = 196;

// The camera and its USB board, 96 x 196 pixels.
QPixmap BoardPicture();
// The application icon at `size` pixels square (32 and 16 are drawn).
QPixmap IconPixmap(int size);
QIcon ApplicationIcon();

}  // namespace vesk::qt
