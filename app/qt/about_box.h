#pragma once
// The About box: icon, program name and version, notice line, OK.

#include <QDialog>

namespace vesk::qt {

class AboutBox : public QDialog {
  Q_OBJECT
 public:
  explicit AboutBox(QWidget* owner);
};

}  // namespace vesk::qt
