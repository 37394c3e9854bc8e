#include "app/qt/dialog_units.h"

#include <QFontMetrics>
#include <QStringList>

namespace vesk::qt {

DialogUnits DialogUnits::ForFont(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {(letters / 26 + 1) / 2, metrics.height()};
}

QRect DialogUnits::ToPixels(const QRect& dialogRect) const {
  return {X(dialogRect.x()), Y(dialogRect.y()), X(dialogRect.width()), Y(dialogRect.height())};
}

int DialogUnits::Scale(int value, int numerator, int denominator) {
  const long long product = static_cast<long long>(value) * numerator;
  const long long rounded = product >= 0 ? product + denominator / 2 : product - denominator / 2;
  return static_cast<int>(rounded / denominator);
}

QFont DialogFont() {
  QFont font;
  font.setFamily(QStringLiteral("DejaVu Sans"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  return font;
}

}  // namespace vesk::qt
