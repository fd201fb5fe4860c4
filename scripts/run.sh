#!/usr/bin/env bash
# Builds Corvane and runs it on its embedded default: a simulated receiver on
# COM3 (a pseudo-terminal) and a local caster on 127.0.0.1:2101, with a data
# folder of its own under build/demo-home. Nothing of the host is changed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

scripts/deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"

export CORVANE_HOME=${CORVANE_HOME:-$PWD/$build/demo-home}
export CORVANE_SET_CLOCK=0
mkdir -p "$CORVANE_HOME/dosdevices"
if [ ! -f "$CORVANE_HOME/registry.reg" ]; then
  cat >"$CORVANE_HOME/registry.reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\software\Corvane\RuduzUze]
"Mount"="CORVANE"
"PassWord"="demo"
"CasterAddress"="127.0.0.1"
"Port"=dword:00000835
"ReConnect_Times"=dword:00000004
"Interval"=dword:00000005
"SerialPortRate"=dword:0001c200
"SerialPort"="COM3"
"NS"="N"
"EW"="E"
"Coordinate"=dword:00000001
"GPSBoard"=dword:00000000
"DiffType"=dword:00000005
"BaseLat"="35.872988846"
"BaseLon"="138.389665470"
"BaseH"="1003.8599"
REG
fi

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

bin=$build/bin
if [ -x "$bin/corvane-caster" ]; then
  "$bin/corvane-caster" --port 2101 --mount CORVANE --password demo \
    --out "$CORVANE_HOME/caster-stream.bin" >"$CORVANE_HOME/caster.log" 2>&1 &
  pids+=($!)
fi
if [ -x "$bin/corvane-gnss-sim" ]; then
  "$bin/corvane-gnss-sim" --type novatel --link "$CORVANE_HOME/dosdevices/com3" \
    --command-log "$CORVANE_HOME/receiver-commands.log" >"$CORVANE_HOME/receiver.log" 2>&1 &
  pids+=($!)
fi

echo "Data folder: $CORVANE_HOME (caster stream in caster-stream.bin)"
"$bin/corvane"
