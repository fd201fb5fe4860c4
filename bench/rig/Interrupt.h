// Ctrl-C, SIGTERM and SIGHUP end a bench through its own destructors, so that
// the programs it started are stopped and its temporary folders removed: the
// signal only sets a flag, and every wait of the bench checks it and throws.
#pragma once

#include <chrono>
#include <stdexcept>

namespace corvane::bench {

struct Interrupted : std::runtime_error {
  Interrupted() : std::runtime_error("interrupted") {}
};

// Installs the handlers; once per program, before anything is started.
void CatchInterrupts();
bool InterruptRequested();
// Throw Interrupted when a signal came before or while they wait.
void SleepFor(std::chrono::steady_clock::duration duration);
void SleepUntil(std::chrono::steady_clock::time_point until);

}  // namespace corvane::bench
