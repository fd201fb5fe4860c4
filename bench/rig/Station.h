// A base station as the benches run it: a data folder with settings for a
// NovAtel-type receiver on COM3 at 115200 baud that sends RTCM 3.2 and for a
// caster on 127.0.0.1, COM3 linked to a pseudo-terminal, and the real
// application started on it without a display, never setting the clock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "bench/rig/Child.h"

namespace corvane::bench {

inline constexpr std::string_view kBenchMount = "BENCH";
inline constexpr std::string_view kBenchPassword = "bench";
inline constexpr int kLineRate = 11520;  // bytes per second of a 115200-baud 8N1 line

// Writes the settings and the COM3 link into `home`; false when it could not.
bool PrepareStation(const std::filesystem::path& home, const std::string& comDevice,
                    uint16_t casterPort);

// corvane-caster on 127.0.0.1 at a port the kernel picks (put in `port`),
// for the bench mount point; it writes the stream to dir/NAME.bin and its
// output to dir/NAME.out. Null when it did not start.
std::unique_ptr<Child> StartLocalCaster(const std::filesystem::path& dir, const std::string& name,
                                        uint16_t& port);

struct CorvaneRun {
  bool Start = true;   // --start: press Start once the window is up
  bool Trace = false;  // CORVANE_TRACE=1: the relay's reads and sends on stderr
};

// `corvane` from the benches' own build, on `home`, its output in
// home/corvane.out.
std::unique_ptr<Child> StartCorvane(const std::filesystem::path& home, const CorvaneRun& run);

}  // namespace corvane::bench
