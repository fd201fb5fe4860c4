#include "config/ui/QtMessageBoxes.h"

#include <QMessageBox>

namespace corvane {

namespace {

QString ToQString(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

QMessageBox::Icon ToQtIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Question:
      return QMessageBox::Question;
    case MessageIcon::Exclamation:
      return QMessageBox::Warning;
    case MessageIcon::Error:
      return QMessageBox::Critical;
    case MessageIcon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

MessageResult QtMessageBoxes::Show(std::u16string_view text, std::u16string_view caption,
                                   MessageButtons buttons, MessageIcon icon) {
  QMessageBox box(
      ToQtIcon(icon), ToQString(caption), ToQString(text),
      buttons == MessageButtons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok,
      owner_);
  return box.exec() == QMessageBox::Ok ? MessageResult::Ok : MessageResult::Cancel;
}

}  // namespace corvane
