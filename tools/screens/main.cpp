// corvane-screens DIR: renders the main window, the Option dialog and the
// Config dialog, filled from the current settings, to DIR/main.png,
// DIR/option.png and DIR/config.png on the offscreen platform, so the windows
// can be looked at on a machine without a display. The settings are only
// read; the main window's start-up lines go to a throw-away log file.
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <cstdio>

#include "app/EventLog.h"
#include "app/ui/CDlgMain.h"
#include "config/Settings.h"
#include "config/ui/CDlgConfig.h"
#include "config/ui/CDlgOption.h"
#include "config/ui/QtMessageBoxes.h"
#include "platform/Clock.h"
#include "platform/DataFolder.h"
#include "platform/EventFile.h"
#include "platform/RegistryStore.h"

namespace {

using namespace corvane;

// The window's client area under a plain title bar with its title, as the
// offscreen platform draws no window frames.
QImage WithTitleBar(QWidget* window) {
  window->show();
  QApplication::processEvents();
  const QPixmap client = window->grab();
  QFont font = window->font();
  font.setBold(true);
  const int bar = QFontMetrics(font).height() + 8;
  QImage image(client.width(), client.height() + bar, QImage::Format_RGB32);
  image.fill(QColor(0x2b, 0x4f, 0x81));
  QPainter painter(&image);
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(QRect(6, 0, client.width() - 12, bar), Qt::AlignLeft | Qt::AlignVCenter,
                   window->windowTitle());
  painter.drawPixmap(0, bar, client);
  return image;
}

bool Save(QWidget* window, const QDir& dir, const QString& name) {
  const QString path = dir.filePath(name);
  if (!WithTitleBar(window).save(path, "PNG")) {
    std::fprintf(stderr, "corvane-screens: cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: corvane-screens DIR\n");
    return 2;
  }
  const QDir dir(QString::fromLocal8Bit(argv[1]));
  if (!dir.mkpath(QStringLiteral("."))) {
    std::fprintf(stderr, "corvane-screens: cannot create %s\n", argv[1]);
    return 1;
  }
  QTemporaryDir scratch;
  if (!scratch.isValid()) {
    std::fprintf(stderr, "corvane-screens: no temporary folder\n");
    return 1;
  }

  RegistryStore registry(RegistryFile());
  EventFile logFile(scratch.filePath(QStringLiteral("log.txt")).toStdString());
  SystemClock clock;
  StampedEventLog log(logFile, clock);
  QtMessageBoxes boxes;
  Settings settings;

  UiTimeSource time(application.thread());
  SystemRouteSource routes;
  CDlgMain window(settings, registry, log, boxes, time, clock, routes);  // loads the settings
  CDlgOption option(settings, boxes);
  CDlgConfig config(settings, registry, log, boxes);
  const bool saved = Save(&window, dir, QStringLiteral("main.png")) &&
                     Save(&option, dir, QStringLiteral("option.png")) &&
                     Save(&config, dir, QStringLiteral("config.png"));
  window.done(QDialog::Rejected);
  return saved ? 0 : 1;
}
