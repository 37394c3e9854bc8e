#include "app/qt/artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace vesk::qt {
namespace {

const QColor kNavy(0x1f, 0x3a, 0x5f);
const QColor kSteel(0x8c, 0x9d, 0xb0);
const QColor kBoardGreen(0x2e, 0x7d, 0x4f);
const QColor kLedRed(0xe5, 0x39, 0x35);

void DrawLens(QPainter& painter, QPointF centre, qreal radius) {
  QRadialGradient glass(centre, radius, centre - QPointF(radius / 3, radius / 3));
  glass.setColorAt(0, QColor(0x9f, 0xc5, 0xe8));
  glass.setColorAt(0.6, QColor(0x20, 0x40, 0x70));
  glass.setColorAt(1, QColor(0x08, 0x10, 0x20));
  painter.setPen(QPen(kSteel.darker(130), radius / 5));
  painter.setBrush(glass);
  painter.drawEllipse(centre, radius, radius);
}

}  // namespace

QPixmap BoardPicture() {
  QPixmap picture(kPictureWidth, kPictureHeight);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);

  QLinearGradient sky(0, 0, 0, kPictureHeight);
  sky.setColorAt(0, QColor(0xe8, 0xee, 0xf4));
  sky.setColorAt(1, QColor(0xb8, 0xc6, 0xd6));
  painter.fillRect(picture.rect(), sky);

  // Camera body with its lens.
  painter.setPen(QPen(kNavy.darker(150), 1.5));
  painter.setBrush(kNavy);
  painter.drawRoundedRect(QRectF(14, 14, 68, 62), 6, 6);
  DrawLens(painter, {48, 45}, 20);
  painter.setBrush(kLedRed);
  painter.setPen(Qt::NoPen);
  painter.drawEllipse(QPointF(24, 22), 2.5, 2.5);
  painter.drawEllipse(QPointF(32, 22), 2.5, 2.5);

  // The cable down to the board.
  painter.setPen(QPen(QColor(0x30, 0x30, 0x30), 4, Qt::SolidLine, Qt::RoundCap));
  QPainterPath cable({48, 76});
  cable.cubicTo({48, 96}, {30, 96}, {48, 116});
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(cable);

  // The USB board: controller, two EEPROMs, connector.
  painter.setPen(QPen(kBoardGreen.darker(160), 1));
  painter.setBrush(kBoardGreen);
  painter.drawRoundedRect(QRectF(10, 116, 76, 66), 3, 3);
  painter.setBrush(QColor(0x20, 0x20, 0x24));
  painter.drawRect(QRectF(30, 128, 36, 28));
  painter.drawRect(QRectF(18, 162, 18, 10));
  painter.drawRect(QRectF(60, 162, 18, 10));
  painter.setPen(QPen(QColor(0xd4, 0xaf, 0x37), 1));
  for (int pin = 0; pin < 8; ++pin) {
    const qreal x = 32 + pin * 4.5;
    painter.drawLine(QPointF(x, 125), QPointF(x, 128));
    painter.drawLine(QPointF(x, 156), QPointF(x, 159));
  }
  painter.setBrush(kSteel);
  painter.setPen(QPen(kSteel.darker(140), 1));
  painter.drawRect(QRectF(40, 112, 16, 8));
  return picture;
}

QPixmap IconPixmap(int size) {
  QPixmap icon(size, size);
  icon.fill(Qt::transparent);
  QPainter painter(&icon);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal unit = size / 32.0;
  painter.setPen(QPen(kNavy.darker(150), unit));
  painter.setBrush(kNavy);
  painter.drawRoundedRect(QRectF(2 * unit, 7 * unit, 28 * unit, 20 * unit), 3 * unit, 3 * unit);
  painter.drawRect(QRectF(10 * unit, 4 * unit, 12 * unit, 4 * unit));
  DrawLens(painter, {16 * unit, 17 * unit}, 7 * unit);
  painter.setPen(Qt::NoPen);
  painter.setBrush(kLedRed);
  painter.drawEllipse(QPointF(6 * unit, 11 * unit), 1.5 * unit, 1.5 * unit);
  return icon;
}

QIcon ApplicationIcon() {
  QIcon icon;
  icon.addPixmap(IconPixmap(16));
  icon.addPixmap(IconPixmap(32));
  return icon;
}

}  // namespace vesk::qt
