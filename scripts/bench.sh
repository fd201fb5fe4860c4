#!/usr/bin/env bash
# Corvane against RTKLIB's str2str, side by side in one run: the same
# pseudo-terminal stream relayed by each into its own corvane-caster, at the
# 115200-baud line rate and as a receiver's 1 Hz RTCM 3 bursts; then a caster
# that reads more slowly than the stream comes, and what Corvane costs at
# rest. Prints one table per part. Loopback and pseudo-terminals only; the
# clock is never set. Takes about seven minutes.
#
# Usage: scripts/bench.sh [--seconds N] [--pressure-seconds N] [--cost-seconds N]
#   (each stream shape N s, default 45; back-pressure 180 s; each state at rest 30 s)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

scripts/deps.sh
# The build the Debian package ships.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target corvane corvane-caster bench_relay_vs_str2str >/dev/null

exec scripts/measure.sh "$build/bin/bench_relay_vs_str2str" "$@"
