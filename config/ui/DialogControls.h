// The kinds of control the settings dialogs' templates are made of, placed
// at their template rectangles in dialog units. Controls are children of the
// dialog itself, as in the templates, so a group frame is only a frame: it
// must be added before the controls it encloses so that it stays below them.
#pragma once

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>

#include "config/ui/DialogTemplate.h"

namespace corvane {

class DialogControls {
 public:
  // Gives `dialog` the templates' font and its fixed size in dialog units.
  DialogControls(QWidget* dialog, int width, int height);

  const DialogBaseUnits& Units() const { return units_; }

  QGroupBox* AddGroupFrame(const QString& title, int x, int y, int width, int height);
  // A right-aligned static text.
  QLabel* AddLabel(const QString& text, int x, int y, int width, int height);
  // A bordered, horizontally scrolling single-line edit.
  QLineEdit* AddEdit(int id, int x, int y, int width, int height);
  QPushButton* AddButton(int id, const QString& text, int x, int y, int width, int height);
  QRadioButton* AddRadioButton(int id, const QString& text, int x, int y, int width, int height);
  // An unsorted drop-down list that cannot be typed into. As in a template,
  // `height` is that of the open list; the closed list takes the height its
  // style needs, and the open one shows as many entries as fit.
  QComboBox* AddDropDownList(int id, const QStringList& entries, int x, int y, int width,
                             int height);

 private:
  QWidget* dialog_;
  DialogBaseUnits units_;
};

}  // namespace corvane
