// The application as main runs it, on a QApplication that exists already:
// socket start-up, the data folder's settings and log, the main window run
// modally, and SIGINT/SIGTERM ending it at once, whatever window or wait is
// open. Tests run it in-process as main does.
#pragma once

#include <QApplication>

namespace corvane {

struct ApplicationOptions {
  // Press Start once the window is up, as the operator would.
  bool Start = false;
  // Time runs this many times faster (tests of the minute-long paths).
  double TimeScale = 1.0;
};

// Returns the exit status: 0 when the window ended, 1 when another instance
// runs on the same data folder or the socket start-up failed.
int RunApplication(QApplication& application, const ApplicationOptions& options);

}  // namespace corvane
