#!/usr/bin/env bash
# Runs one of the build's measuring programs with its temporary folders in a
# folder of its own, removed whatever happens, and passes Ctrl-C, SIGTERM and
# SIGHUP on to it, so that it stops the programs it started itself.
# Usage: scripts/measure.sh PROGRAM [ARGUMENTS...]
set -euo pipefail
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
TMPDIR=$tmp "$@" &
program=$!
trap 'kill -TERM "$program" 2>/dev/null || true' INT TERM HUP
status=0
wait "$program" || status=$?
# A trapped signal ends the first wait early: wait for the program's own end.
if kill -0 "$program" 2>/dev/null; then wait "$program" || status=$?; fi
exit "$status"
