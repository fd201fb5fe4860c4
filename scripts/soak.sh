#!/usr/bin/env bash
# The soak of a base station that relays for months: `corvane --start`
# relays a 115200-baud line rate through corvane-caster for MINUTES and the
# caster's bytes are compared with the ones written, while resident memory,
# threads and descriptors are sampled each minute; then 100 Start/Stop
# cycles, with threads and descriptors counted before and after. Loopback and
# pseudo-terminals only; the clock is never set.
#
# Usage: scripts/soak.sh [MINUTES]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
minutes=${1:-60}
case $minutes in
  '' | *[!0-9]* | 0) echo "usage: scripts/soak.sh [MINUTES]" >&2; exit 2 ;;
esac

scripts/deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target corvane corvane-caster bench_soak >/dev/null

exec scripts/measure.sh "$build/bin/bench_soak" "$minutes" --cycles 100
