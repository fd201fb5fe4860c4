#!/usr/bin/env bash
# Builds the Debian package and checks it without installing it: lintian
# (no error), the desktop entry, the systemd unit, and the demo run from the
# unpacked package. Nothing of the host is changed.
# Usage: scripts/package-check.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

missing=()
for package in lintian desktop-file-utils systemd; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

rm -f "$build"/corvane_*.deb
deb=$(scripts/package.sh "$build" | tail -n 1)
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
echo "-- lintian $deb"
status=0
lintian --fail-on error "$deb" >"$unpacked/lintian.txt" 2>&1 || status=$?
grep -v '^running with root privileges' "$unpacked/lintian.txt" || true
[ "$status" -eq 0 ]
echo "-- desktop-file-validate"
desktop-file-validate packaging/corvane.desktop

dpkg-deb -x "$deb" "$unpacked/root"
echo "-- systemd-analyze verify corvane@demo.service"
# The host's own units stand beside the package's, so that the targets the
# unit names exist; the unit is checked as the package installs it.
mkdir -p "$unpacked/verify/lib/systemd/system"
cp -a /lib/systemd/system/. "$unpacked/verify/lib/systemd/system/"
cp -a "$unpacked/root/." "$unpacked/verify/"
systemd-analyze verify --root="$unpacked/verify" corvane@demo.service
echo "-- the demo, from the unpacked package"
BIN_DIR=$unpacked/root/usr/bin scripts/demo-check.sh
