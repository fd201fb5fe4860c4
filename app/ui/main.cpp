// The application's entry: Qt's own options, then --start, which presses
// Start once the window is up.
#include <QApplication>

#include "app/Startup.h"
#include "app/ui/Application.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(corvane::kAppName));
  corvane::ApplicationOptions options;
  options.Start = QApplication::arguments().contains(QStringLiteral("--start"));
  return corvane::RunApplication(application, options);
}
