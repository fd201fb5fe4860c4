#!/usr/bin/env bash
# Builds Corvane and shows the whole chain on this computer: a simulated
# receiver on COM3 (a pseudo-terminal), a local caster on 127.0.0.1:2101, and
# `corvane --start` relaying the receiver's corrections between them, with a
# fresh data folder. A window when there is a display, offscreen otherwise.
# Nothing of the host is changed: the clock is never set. Ctrl-C, or closing
# the window, stops everything.
#
# Usage: scripts/run.sh [--type trimble|novatel]
# BIN_DIR=DIR runs the programs in DIR (an unpacked package) without building;
# CORVANE_HOME=DIR puts the demo's data folder there (it is emptied first).
set -euo pipefail
cd "$(dirname "$0")/.."

type=trimble
while [ $# -gt 0 ]; do
  case "$1" in
    --type) type=${2:-}; shift 2 || true ;;
    *) type=invalid; shift ;;
  esac
done
case $type in
  trimble) board=00000004 ;;
  novatel) board=00000000 ;;
  *) echo "usage: scripts/run.sh [--type trimble|novatel]" >&2; exit 2 ;;
esac

if [ -n "${BIN_DIR:-}" ]; then
  bin=$BIN_DIR
else
  build=${BUILD_DIR:-build}
  scripts/deps.sh
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$(nproc)"
  bin=$build/bin
fi

home=${CORVANE_HOME:-$PWD/${BUILD_DIR:-build}/demo-home}
rm -rf "$home"
mkdir -p "$home/dosdevices"
export CORVANE_HOME=$home CORVANE_SET_CLOCK=0
cat >"$home/registry.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\software\\Corvane\\RuduzUze]
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
"GPSBoard"=dword:$board
"DiffType"=dword:00000005
"BaseLat"="35.872988846"
"BaseLon"="138.389665470"
"BaseH"="1003.8599"
REG

pids=()
cleanup() {
  trap - EXIT INT TERM
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits up to ten seconds for a file to hold a text.
await() {
  for _ in $(seq 100); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "run.sh: no \"$2\" in $1:" >&2
  cat "$1" >&2
  return 1
}

"$bin/corvane-caster" --port 2101 --mount CORVANE --password demo \
  --out "$home/caster-stream.bin" >"$home/caster.log" 2>&1 &
pids+=($!)
await "$home/caster.log" listening
"$bin/corvane-gnss-sim" --type "$type" --link "$home/dosdevices/com3" \
  --command-log "$home/receiver-commands.log" >"$home/receiver.log" 2>&1 &
pids+=($!)
await "$home/receiver.log" /dev/

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
  echo "No display: Corvane runs on the offscreen platform."
  export QT_QPA_PLATFORM=offscreen
fi
"$bin/corvane" --start >"$home/corvane.out" 2>&1 &
corvane=$!
pids+=("$corvane")

cat <<EOF
Corvane relays a simulated $type receiver on COM3 to the caster at 127.0.0.1:2101.
  events:         tail -f $home/log.txt
  caster:         tail -f $home/caster.log      (source=up and bytes growing)
  stream:         $home/caster-stream.bin
  receiver:       $home/receiver-commands.log   (commands it was sent)
  pull it:        str2str -in ntrip://:@127.0.0.1:2101/CORVANE -out file://corrections.rtcm3
Ctrl-C stops everything.
EOF
wait "$corvane" || true
