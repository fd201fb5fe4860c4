// Building the windows from their dialog templates: positions in dialog units
// convert to pixels with the dialog font's average character width / 4 and
// height / 8, and each control keeps its numeric id as its object name.
#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QRect>
#include <QString>
#include <QWidget>

namespace corvane {

// The templates' font ("System", 10 points) as the host renders it.
QFont DialogFont();

// Base units of a font: the average width of the 52 Latin letters, rounded,
// and the character cell height.
struct DialogBaseUnits {
  int Width = 0;
  int Height = 0;
};
DialogBaseUnits BaseUnitsOf(const QFontMetrics& metrics);

// A rectangle in dialog units, in pixels.
QRect DialogRect(const DialogBaseUnits& units, int x, int y, int width, int height);

// Places a control at its template rectangle and names it by its id (0 for
// the controls that have none).
void PlaceControl(QWidget* control, const DialogBaseUnits& units, int id, int x, int y, int width,
                  int height);

QString ControlName(int id);

// Shows the text whole in a label of template size: a text wider than the
// label is drawn in a smaller font than the dialog's, down to 6 points, rather
// than cut off. The templates' widths were made for a narrower font.
void ShowWholeText(QLabel* label, const QString& text);

// The control with the given id, or null.
template <typename T>
T* FindControl(const QWidget* dialog, int id) {
  return dialog->findChild<T*>(ControlName(id));
}

}  // namespace corvane
