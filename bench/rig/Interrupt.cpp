#include "bench/rig/Interrupt.h"

#include <signal.h>

#include <algorithm>
#include <thread>

namespace corvane::bench {

namespace {

volatile sig_atomic_t interrupted = 0;

void Note(int) {
  interrupted = 1;
}

// Short enough that Ctrl-C feels immediate.
constexpr std::chrono::milliseconds kCheckPeriod{50};

}  // namespace

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = Note;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

bool InterruptRequested() {
  return interrupted != 0;
}

void SleepUntil(std::chrono::steady_clock::time_point until) {
  for (;;) {
    if (InterruptRequested()) throw Interrupted();
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return;
    std::this_thread::sleep_until(std::min(until, now + kCheckPeriod));
  }
}

void SleepFor(std::chrono::steady_clock::duration duration) {
  SleepUntil(std::chrono::steady_clock::now() + duration);
}

}  // namespace corvane::bench
