#include "app/ui/Application.h"

#include <QGuiApplication>
#include <QSocketNotifier>
#include <cstdio>

#include "app/AnsweringMessageBoxes.h"
#include "app/EventLog.h"
#include "app/Startup.h"
#include "app/ui/CDlgMain.h"
#include "app/ui/UiTimeSource.h"
#include "config/Settings.h"
#include "config/ui/QtMessageBoxes.h"
#include "platform/Clock.h"
#include "platform/DataFolder.h"
#include "platform/EventFile.h"
#include "platform/RegistryStore.h"
#include "platform/Routes.h"
#include "platform/SocketLibrary.h"
#include "platform/TerminationSignals.h"

namespace corvane {

int RunApplication(QApplication& application, const ApplicationOptions& options) {
  // Before any window: a second instance must not save over the first one.
  const std::filesystem::path folder = DataFolder();
  const DataFolderLock folderLock = LockDataFolder(folder);
  if (folderLock.Result() == DataFolderLock::State::Busy) {
    std::fprintf(stderr, "%s is already running with data folder %s\n", kAppName, folder.c_str());
    return 1;
  }

  // Before the window logs its first line: a signal from then on is held in
  // the pipe until the window's event loop reads it.
  const int signalFd = TerminationSignalFd();

  QtMessageBoxes ownerless;
  if (!AcceptSocketStartup(StartSocketLibrary(), ownerless)) return 1;

  RegistryStore registry(RegistryFile());
  EventFile logFile(folder / "log.txt");
  SystemClock clock;
  StampedEventLog log(logFile, clock);
  Settings settings;
  UiTimeSource time(application.thread(), options.TimeScale);
  SystemRouteSource routes;

  QtMessageBoxes screenBoxes;
  AnsweringMessageBoxes boxes(screenBoxes, log);
  // Unattended, or on a platform without a screen: nobody would answer.
  const QString platform = QGuiApplication::platformName();
  const bool unseen =
      platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
  if (options.Start || unseen) boxes.AnswerAtOnce();
  CDlgMain dialog(settings, registry, log, boxes, time, clock, routes);
  // Nobody sees it either: the transfer line's repaint each second and each
  // event line's would only wake Qt's painting helpers, for months.
  if (unseen) dialog.setUpdatesEnabled(false);
  // The settings in effect are not the stored ones: the operator must know.
  if (!registry.LoadProblem().empty()) log.LogEvent(registry.LoadProblem());

  QSocketNotifier signalNotifier(signalFd, QSocketNotifier::Read);
  signalNotifier.setEnabled(signalFd >= 0);
  QObject::connect(&signalNotifier, &QSocketNotifier::activated, &dialog,
                   [&dialog, &boxes, signalFd] {
                     DrainTerminationSignals(signalFd);
                     boxes.AnswerAtOnce();
                     dialog.EndApplication();
                   });

  if (options.Start) dialog.PressStartWhenShown();
  dialog.exec();
  StopSocketLibrary();
  return 0;
}

}  // namespace corvane
