// SIGINT and SIGTERM turned into readable bytes on a pipe, so that a window's
// event loop can end the application the way its Cancel command does.
#pragma once

namespace corvane {

// Installs the handlers once; returns the pipe's read end (non-blocking), or
// -1 when the pipe could not be made.
int TerminationSignalFd();

// Reads away what the handlers wrote.
void DrainTerminationSignals(int fd);

}  // namespace corvane
