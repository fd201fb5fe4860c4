#!/usr/bin/env bash
# Checks the demo as a new user meets it on a computer without a display:
# scripts/run.sh gets the stream to the caster within 20 s of Corvane's
# start, an independent NTRIP client (RTKLIB's str2str) pulls bytes that the
# caster recorded, in the same order, and Ctrl-C stops everything.
# Usage: scripts/demo-check.sh   (BIN_DIR=DIR checks the programs in DIR)
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
home=$work/demo
run=
finish() {
  [ -n "$run" ] && kill -KILL -- -"$run" 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT
fail() {
  echo "demo-check: $*" >&2
  for log in "$work/run.out" "$home/log.txt" "$home/caster.log" "$home/corvane.out"; do
    [ -f "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
  done
  exit 1
}
# Polls a condition once every 100 ms for at most $1 seconds.
within() {
  local tenths=$(($1 * 10))
  shift
  for _ in $(seq "$tenths"); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}
streaming() { grep -q 'source=up bytes=[1-9]' "$home/caster.log" 2>/dev/null; }
started() {
  grep -q 'Corvane relays' "$work/run.out" 2>/dev/null && return 0
  kill -0 "$run" 2>/dev/null || fail "run.sh ended before Corvane started"
  return 1
}
bytes() { od -An -v -tx1 "$1" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'; }

# A session of its own, so that Ctrl-C can be sent to the whole demo.
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM CORVANE_HOME="$home" \
  setsid scripts/run.sh >"$work/run.out" 2>&1 &
run=$!
within 600 started || fail "Corvane did not start"
start=$(date +%s.%N)
within 20 streaming || fail "no stream at the caster within 20 s of Corvane's start"
took=$(echo "$(date +%s.%N) - $start" | bc)
grep -q 'No display: Corvane runs on the offscreen platform.' "$work/run.out" ||
  fail "run.sh did not say that it runs offscreen"

timeout 8 str2str -in ntrip://:@127.0.0.1:2101/CORVANE -out "file://$work/pulled.bin" \
  >/dev/null 2>&1 || true
[ -s "$work/pulled.bin" ] || fail "str2str pulled nothing"

kill -INT -- -"$run"
within 10 bash -c "! kill -0 -- -$run 2>/dev/null" || fail "Ctrl-C left the demo running"
run=
# The caster's record is complete once it has stopped.
pulled=$(stat -c %s "$work/pulled.bin")
case " $(bytes "$home/caster-stream.bin") " in
  *" $(bytes "$work/pulled.bin") "*) ;;
  *) fail "the $pulled bytes str2str pulled are not the caster's record" ;;
esac
grep -q 'Start Ntrip Server thread!' "$home/log.txt" || fail "no relay in the event log"
printf 'demo-check: stream at the caster %.1f s after Corvane started; str2str pulled %d bytes, in the caster'"'"'s order; Ctrl-C stopped everything\n' \
  "$took" "$pulled"
