#include "config/ui/DialogText.h"

#include "platform/CodePage.h"

namespace corvane {

QString AnsiToQString(std::string_view ansi) {
  return QString::fromStdU16String(AnsiToWide(ansi));
}

std::string QStringToAnsi(const QString& text) {
  return WideToAnsi(text.toStdU16String());
}

}  // namespace corvane
