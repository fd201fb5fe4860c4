// Text conversions of the settings dialogs: the windows hold UTF-16 text
// while Settings holds single-byte ANSI text. Numbers: config/NumberText.h.
#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "config/NumberText.h"

namespace corvane {

QString AnsiToQString(std::string_view ansi);
std::string QStringToAnsi(const QString& text);

}  // namespace corvane
