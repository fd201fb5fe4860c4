// The application: starts the socket layer, runs the main window modally and
// ends when it closes. SIGINT and SIGTERM end it as the Cancel command does.
#include <QApplication>
#include <QSocketNotifier>
#include <cstdio>

#include "app/EventLog.h"
#include "app/Startup.h"
#include "app/ui/CDlgMain.h"
#include "config/Settings.h"
#include "config/ui/QtMessageBoxes.h"
#include "platform/Clock.h"
#include "platform/DataFolder.h"
#include "platform/EventFile.h"
#include "platform/RegistryStore.h"
#include "platform/SocketLibrary.h"
#include "platform/TerminationSignals.h"

int main(int argc, char** argv) {
  using namespace corvane;
  // Before any window: a second instance must not save over the first one.
  const std::filesystem::path folder = DataFolder();
  const DataFolderLock folderLock = LockDataFolder(folder);
  if (folderLock.Result() == DataFolderLock::State::Busy) {
    std::fprintf(stderr, "%s is already running with data folder %s\n", kAppName, folder.c_str());
    return 1;
  }

  QApplication application(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(kAppName));

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

  QtMessageBoxes boxes;
  CDlgMain dialog(settings, registry, log, boxes);
  // The settings in effect are not the stored ones: the operator must know.
  if (!registry.LoadProblem().empty()) log.LogEvent(registry.LoadProblem());

  QSocketNotifier signalNotifier(signalFd, QSocketNotifier::Read);
  signalNotifier.setEnabled(signalFd >= 0);
  QObject::connect(&signalNotifier, &QSocketNotifier::activated, &dialog, [&dialog, signalFd] {
    DrainTerminationSignals(signalFd);
    dialog.reject();
  });

  dialog.exec();
  StopSocketLibrary();
  return 0;
}
