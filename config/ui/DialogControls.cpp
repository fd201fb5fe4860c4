#include "config/ui/DialogControls.h"

#include <algorithm>

namespace corvane {

namespace {

// Heights, in dialog units, of a closed drop-down list and of one entry of
// the open list (one line of the dialog font).
constexpr int kClosedListHeight = 12;
constexpr int kListEntryHeight = 8;

// A template's group frame: the top line runs through the middle of the
// title, so the frame keeps the rectangle the template gives it.
QString GroupFrameStyle(int fontHeight, int titleIndent) {
  return QStringLiteral(
             "QGroupBox { border: 1px solid palette(mid); margin-top: %1px; }"
             "QGroupBox::title { subcontrol-origin: border; subcontrol-position: top left;"
             " left: %2px; top: -%1px; padding: 0 2px; background: palette(window); }")
      .arg(fontHeight / 2)
      .arg(titleIndent);
}

}  // namespace

DialogControls::DialogControls(QWidget* dialog, int width, int height) : dialog_(dialog) {
  dialog_->setFont(DialogFont());
  units_ = BaseUnitsOf(QFontMetrics(dialog_->font()));
  dialog_->setFixedSize(DialogRect(units_, 0, 0, width, height).size());
}

QGroupBox* DialogControls::AddGroupFrame(const QString& title, int x, int y, int width,
                                         int height) {
  auto* frame = new QGroupBox(title, dialog_);
  frame->setStyleSheet(GroupFrameStyle(QFontMetrics(dialog_->font()).height(), units_.Width));
  PlaceControl(frame, units_, 0, x, y, width, height);
  return frame;
}

QLabel* DialogControls::AddLabel(const QString& text, int x, int y, int width, int height) {
  auto* label = new QLabel(text, dialog_);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  PlaceControl(label, units_, 0, x, y, width, height);
  return label;
}

QLineEdit* DialogControls::AddEdit(int id, int x, int y, int width, int height) {
  auto* edit = new QLineEdit(dialog_);
  PlaceControl(edit, units_, id, x, y, width, height);
  return edit;
}

QPushButton* DialogControls::AddButton(int id, const QString& text, int x, int y, int width,
                                       int height) {
  auto* button = new QPushButton(text, dialog_);
  PlaceControl(button, units_, id, x, y, width, height);
  return button;
}

QRadioButton* DialogControls::AddRadioButton(int id, const QString& text, int x, int y, int width,
                                             int height) {
  auto* button = new QRadioButton(text, dialog_);
  PlaceControl(button, units_, id, x, y, width, height);
  return button;
}

QComboBox* DialogControls::AddDropDownList(int id, const QStringList& entries, int x, int y,
                                           int width, int height) {
  auto* list = new QComboBox(dialog_);
  list->addItems(entries);
  list->setCurrentIndex(-1);
  PlaceControl(list, units_, id, x, y, width, kClosedListHeight);
  list->resize(list->width(), std::max(list->height(), list->sizeHint().height()));
  list->setMaxVisibleItems(std::max(1, (height - kClosedListHeight) / kListEntryHeight));
  return list;
}

}  // namespace corvane
