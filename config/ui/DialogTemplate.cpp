#include "config/ui/DialogTemplate.h"

#include <QApplication>

namespace corvane {

QFont DialogFont() {
  QFont font = QApplication::font();
  font.setPointSize(10);
  return font;
}

DialogBaseUnits BaseUnitsOf(const QFontMetrics& metrics) {
  static const QString kLetters =
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  const int width = (metrics.horizontalAdvance(kLetters) / 26 + 1) / 2;
  return {width, metrics.height()};
}

QRect DialogRect(const DialogBaseUnits& units, int x, int y, int width, int height) {
  auto scaleX = [&](int value) { return (value * units.Width + 2) / 4; };
  auto scaleY = [&](int value) { return (value * units.Height + 4) / 8; };
  return QRect(scaleX(x), scaleY(y), scaleX(width), scaleY(height));
}

void PlaceControl(QWidget* control, const DialogBaseUnits& units, int id, int x, int y, int width,
                  int height) {
  control->setGeometry(DialogRect(units, x, y, width, height));
  if (id != 0) control->setObjectName(ControlName(id));
}

QString ControlName(int id) {
  return QString::number(id);
}

void ShowWholeText(QLabel* label, const QString& text) {
  constexpr double kSmallestPoints = 6.0;
  QFont font = label->parentWidget() != nullptr ? label->parentWidget()->font() : DialogFont();
  const int room = label->contentsRect().width();
  while (QFontMetrics(font).horizontalAdvance(text) > room &&
         font.pointSizeF() - 0.5 >= kSmallestPoints) {
    font.setPointSizeF(font.pointSizeF() - 0.5);
  }
  label->setFont(font);
  label->setText(text);
}

}  // namespace corvane
