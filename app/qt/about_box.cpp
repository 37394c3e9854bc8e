#include "app/qt/about_box.h"

#include <QLabel>
#include <QPushButton>

#include "app/qt/artwork.h"
#include "app/qt/dialog_templates.h"
#include "app/qt/dialog_units.h"

namespace vesk::qt {

AboutBox::AboutBox(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setFont(DialogFont());
  const DialogUnits units = DialogUnits::ForFont(font());
  setWindowTitle(QString::fromLatin1(kAboutBox.caption));
  setFixedSize(units.ToPixels(QSize(kAboutBox.width, kAboutBox.height)));
  setModal(true);

  for (const ControlTemplate& control : kAboutBoxControls) {
    const QRect rect = units.ToPixels(QRect(control.x, control.y, control.width, control.height));
    QWidget* widget = nullptr;
    switch (control.kind) {
      case ControlKind::Icon: {
        auto* icon = new QLabel(this);
        icon->setPixmap(IconPixmap(32));
        icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        widget = icon;
        break;
      }
      case ControlKind::DefaultButton: {
        auto* ok = new QPushButton(QString::fromLatin1(control.text), this);
        ok->setDefault(true);
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
        widget = ok;
        break;
      }
      default: {
        // Shown as typed: a label without a buddy does not treat '&' as an access key.
        auto* text = new QLabel(QString::fromLatin1(control.text), this);
        text->setTextFormat(Qt::PlainText);
        text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        widget = text;
        break;
      }
    }
    widget->setObjectName(QStringLiteral("control%1").arg(control.id));
    widget->setGeometry(rect);
  }
}

}  // namespace vesk::qt
