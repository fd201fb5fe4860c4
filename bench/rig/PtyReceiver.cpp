#include "bench/rig/PtyReceiver.h"

#include <algorithm>
#include <chrono>

#include "SimProtocol.h"

namespace corvane::bench {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

}  // namespace

std::unique_ptr<PtyReceiver> PtyReceiver::Create(int fixQuality) {
  std::unique_ptr<PseudoTerminal> pty = PseudoTerminal::Create();
  if (pty == nullptr) return nullptr;
  return std::unique_ptr<PtyReceiver>(new PtyReceiver(std::move(pty), fixQuality));
}

PtyReceiver::PtyReceiver(std::unique_ptr<PseudoTerminal> pty, int fixQuality)
    : pty_(std::move(pty)), fixQuality_(fixQuality) {
  thread_ = std::thread([this] { Run(); });
}

PtyReceiver::~PtyReceiver() {
  stop_ = true;
  thread_.join();
}

int PtyReceiver::Write(const void* bytes, int count) {
  std::lock_guard lock(writeLock_);
  return std::max(0, pty_->Write(static_cast<const uint8_t*>(bytes), count, Millis(0)));
}

void PtyReceiver::Run() {
  sim::LineSplitter lines;
  uint8_t buffer[1024];
  auto nextSecond = Clock::now() + 1s;
  while (!stop_) {
    const auto wait = std::chrono::duration_cast<Millis>(nextSecond - Clock::now());
    const int n = pty_->Read(buffer, sizeof buffer, std::clamp(wait, Millis(0), Millis(50)));
    if (n > 0) {
      for (const std::string& line : lines.Feed(buffer, static_cast<size_t>(n))) Obey(line);
    }
    if (Clock::now() >= nextSecond) {
      nextSecond += 1s;
      PositionOutput();
    }
  }
}

void PtyReceiver::Obey(const std::string& line) {
  const sim::Command command = sim::ParseTextCommand(line);
  switch (command.kind) {
    case sim::Command::Kind::UnlogAll:
      gga_ = rmc_ = false;
      correctionsOn_ = false;
      break;
    case sim::Command::Kind::LogPosition:
      (command.what == "gpgga" ? gga_ : rmc_) = true;
      break;
    case sim::Command::Kind::LogCorrection:
      correctionsOn_ = true;
      break;
    default:
      break;
  }
}

void PtyReceiver::PositionOutput() {
  if (!gga_ && !rmc_) return;
  const sim::SimFix fix{35.872988846, 138.389665470, 1003.8599, fixQuality_, 12};
  const sim::UtcTime time =
      sim::UtcFromUnix(std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count());
  std::string output;
  if (gga_) output += sim::BuildGga(fix, time);
  if (rmc_) output += sim::BuildRmc(fix, time);
  Write(output.data(), static_cast<int>(output.size()));
}

}  // namespace corvane::bench
