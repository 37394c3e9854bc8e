#pragma once
// Dialog units, the coordinates the window layouts are drawn in, and their mapping to
// pixels through the dialog font's metrics, computed as Windows computes it: the
// horizontal base unit is the average width of "A".."Z" and "a".."z" rounded to whole
// pixels, the vertical one is the font's height; four horizontal and eight vertical
// dialog units make one base unit.

#include <QFont>
#include <QRect>
#include <QSize>

namespace vesk::qt {

struct DialogUnits {
  int baseX;
  int baseY;

  static DialogUnits ForFont(const QFont& font);

  int X(int dialogUnits) const { return Scale(dialogUnits, baseX, 4); }
  int Y(int dialogUnits) const { return Scale(dialogUnits, baseY, 8); }
  QRect ToPixels(const QRect& dialogRect) const;
  QSize ToPixels(const QSize& dialogSize) const {
    return {X(dialogSize.width()), Y(dialogSize.height())};
  }

 private:
  // value * numerator / denominator, rounded to nearest (MulDiv).
  static int Scale(int value, int numerator, int denominator);
};

// The font both windows are laid out in: a sans face of 8 points, the nearest to the
// dialog font of the original layout that a Linux desktop has.
QFont DialogFont();

}  // namespace vesk::qt
