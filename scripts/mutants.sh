#!/usr/bin/env bash
# Plants known faults one at a time in a scratch copy of the committed tree
# (HEAD), rebuilds, and runs the tests meant to catch each one: CAUGHT when
# one of them fails, SURVIVED when they all pass. The working tree is never
# touched. Each fault is an exact text substitution, so that a change to the
# code that moves the text shows up as STALE instead of passing unnoticed.
#
# Usage: scripts/mutants.sh [NAME...]     (default: every fault in the table)
#   MUTANTS_DIR=DIR   keep the scratch copy and its build in DIR, so that the
#                     next run rebuilds only what changed (default: a new
#                     temporary folder, removed at the end)
#   MUTANTS_JOBS=N    build and test jobs (default: the processor count)
# Exit status: 0 when every fault was caught, 1 when one survived, 2 when a
# fault's text is stale, a mutant does not build, or the tests fail unmutated.
set -euo pipefail
cd "$(dirname "$0")/.."

names=() files=() olds=() news=() tests=()
# fault NAME FILE OLD NEW TESTS: OLD stands exactly once in FILE and becomes
# NEW; TESTS is the ctest -R pattern of the tests that must catch it.
fault() {
  names+=("$1") files+=("$2") olds+=("$3") news+=("$4") tests+=("$5")
}

# Decoding
fault gsof-page0-appends decode/GsofDecoder.cpp \
  'std::memcpy(page_.data(), records, static_cast<size_t>(size));
    pageLength_ = size;' \
  'std::memcpy(page_.data() + pageLength_, records, static_cast<size_t>(size));
    pageLength_ += size;' \
  '^GsofTest\.'
fault gsof-full-table-ends-record34 decode/GsofDecoder.cpp \
  'if (*inView >= kSatelliteTableSize) continue;' \
  'if (*inView >= kSatelliteTableSize) break;' \
  '^GsofTest\.'
fault gsof-bad-checksum-skips-packet decode/GsofDecoder.cpp \
  '++counts_.BadChecksum;' \
  '++counts_.BadChecksum;
        i += length + 6;
        continue;' \
  '^GsofTest\.'
fault nmea-carry-keeps-oldest decode/NmeaDecoder.cpp \
  'std::memcpy(carry_.data(), bytes + (count - kCarrySize), kCarrySize);' \
  'std::memcpy(carry_.data(), bytes, kCarrySize);' \
  '^Nmea'
fault nmea-sats-summed-before-gps-count decode/NmeaDecoder.cpp \
  '  inView = ParseIntegerField(gsv, 3);
  if (isGps) fix.SatsInView = SumCounts(fix);' \
  '  if (isGps) fix.SatsInView = SumCounts(fix);
  inView = ParseIntegerField(gsv, 3);' \
  '^Nmea'

# Receiver
fault retry-configures-with-valid-fix receiver/GpsReceiver.cpp \
  'if (fix_.FixQuality() <= 0) decoder_->ConfigureReceiver(*channel_);' \
  'decoder_->ConfigureReceiver(*channel_);' \
  '^GpsReceiverTest\.'
fault open-keeps-channel-after-failed-configure receiver/GpsReceiver.cpp \
  'sinks_.Trace("Init Board Failed!\n");
    channel_->Stop();' \
  'sinks_.Trace("Init Board Failed!\n");' \
  '^GpsReceiverTest\.'
fault open-keeps-channel-without-decoder receiver/GpsReceiver.cpp \
  'if (decoder_ == nullptr) {
    channel_->Stop();' \
  'if (decoder_ == nullptr) {' \
  '^GpsReceiverTest\.'
fault open-goes-on-without-port receiver/GpsReceiver.cpp \
  'if (!channel_->Open(port, baudRate)) {
    sinks_.Trace("Can'"'"'t Open GPS Port!");
    return false;
  }' \
  'channel_->Open(port, baudRate);' \
  '^GpsReceiverTest\.'
fault channel-stop-without-pause receiver/SerialChannel.cpp \
  '  SignalStop();
  time_.Sleep(Millis(100));
  CloseDevice();
  JoinWorkers();
}' \
  '  SignalStop();
  CloseDevice();
  JoinWorkers();
}' \
  '^SerialChannelTest\.'
fault receive-cycle-500ms receiver/SerialChannel.h \
  'kRxCycle{50};' 'kRxCycle{500};' '^SerialChannelTest\.'
fault read-block-4096 receiver/SerialChannel.h \
  'kReadBlock = 128;' 'kReadBlock = 4096;' '^SerialChannelTest\.'
fault pump-cycle-1000ms receiver/GpsReceiver.h \
  'kPumpCycle{100};' 'kPumpCycle{1000};' '^GpsReceiverTest\.'
fault decode-chunk-6144 receiver/GpsReceiver.h \
  'kDecodeChunk = 2048;' 'kDecodeChunk = 6144;' '^GpsReceiverTest\.'
fault transmit-goes-on-after-failed-write receiver/SerialChannel.cpp \
  'if (device->Write(block.data(), static_cast<int>(n)) < 0) return;' \
  'device->Write(block.data(), static_cast<int>(n));' \
  '^SerialChannelTest\.'
fault open-without-purge receiver/SerialChannel.cpp \
  '  device.Purge();' '' '^SerialChannelTest\.'

# Uplink
fault sender-period-250ms uplink/Relay.h \
  'kSendPeriod{100};' 'kSendPeriod{250};' '^RelayTest\.'
fault connet-err-for-any-code uplink/CasterHandshake.cpp \
  'if (connectError == kConnectErrorConnect)' 'if (connectError != kConnectErrorNone)' \
  '^CasterHandshakeTest\.'
fault sender-sends-on-invalid-socket uplink/Relay.cpp \
  'if (count > 0 && casterSocket_->IsValid()) {' 'if (count > 0) {' '^RelayTest\.'

# Settings and windows
fault option-never-selects-baud-rate config/ui/CDlgOption.cpp \
  'baudRate_->setCurrentIndex(
      FindEntryByPrefix(' \
  'static_cast<void>(
      FindEntryByPrefix(' \
  '^OptionDialog\.'
fault caster-address-parsed-before-port config/Settings.cpp \
  '  if (!ReadDword(registry, "Port", settings.Port)) return false;
  if (!ReadDword(registry, "ReConnect_Times", settings.ReConnect_Times)) return false;
  if (!ReadDword(registry, "Interval", settings.Interval)) return false;
  ParseCasterAddress(settings.CasterAddress.view(), settings.CasterOctets);' \
  '  ParseCasterAddress(settings.CasterAddress.view(), settings.CasterOctets);
  if (!ReadDword(registry, "Port", settings.Port)) return false;
  if (!ReadDword(registry, "ReConnect_Times", settings.ReConnect_Times)) return false;
  if (!ReadDword(registry, "Interval", settings.Interval)) return false;' \
  '^SettingsTest\.'
fault dword-size-unchecked config/Settings.cpp \
  'if (!value || value->Bytes.size() > kDwordSize) return false;' \
  'if (!value) return false;' '^SettingsTest\.'
fault done-keeps-log-sink app/ui/CDlgMain.cpp \
  '  log_.Detach();
  QDialog::done(result);' \
  '  QDialog::done(result);' \
  '^MainWindow'
fault running-controls-leave-start-stop app/ui/CDlgMain.cpp \
  'void CDlgMain::SetRunningControls(bool running) {
  startStop_->setEnabled(true);' \
  'void CDlgMain::SetRunningControls(bool running) {' \
  '^MainWindow'

# Run controller, statistics, window, settings: rules that the slimmer tests
# must keep catching.
fault position-polls-37 app/RunController.h \
  'kPositionPolls = 36;' 'kPositionPolls = 37;' '^RunControllerTest\.'
fault data-wait-59-passes app/RunController.h \
  'kLastDataWaitPass = 60;' 'kLastDataWaitPass = 59;' '^RunControllerTest\.'
fault data-wait-no-eighth-set app/RunController.cpp \
  'if (pass > kLastDataWaitPass) {' 'if (pass >= kLastDataWaitPass) {' '^RunControllerTest\.'
fault data-wait-twelve-bytes-enough app/RunController.cpp \
  'relay_->Total() > kStartBytes' 'relay_->Total() >= kStartBytes' '^RunControllerTest\.'
fault stall-on-21st-tick app/RunController.h \
  'kStallTicks = 20;' 'kStallTicks = 21;' '^RunControllerTest\.'
fault stall-ticks-reset-by-bytes app/RunController.cpp \
  'if (line.RecentBytes == 0 && ++idleTicks_ == kStallTicks) {' \
  'if (line.RecentBytes != 0) idleTicks_ = 0;
    if (line.RecentBytes == 0 && ++idleTicks_ == kStallTicks) {' \
  '^RunControllerTest\.'
fault retry-wait-interval-ticks app/RunController.cpp \
  'retryWaitTicks_ == 2 * static_cast<int64_t>(settings_.Interval)' \
  'retryWaitTicks_ == static_cast<int64_t>(settings_.Interval)' '^RunControllerTest\.'
fault handshake-keeps-retry-budget app/RunController.cpp \
  '    retriesLeft_ = settings_.ReConnect_Times;
' '' '^RunControllerTest\.'
fault guard-keeps-retries app/RunController.cpp \
  '    retriesLeft_ = 0;
    return;' '    return;' '^RunControllerTest\.'
fault board-failed-lines-swapped app/RunController.cpp \
  '    log_.LogEvent("Init GPS Board Failed!");
    log_.LogEvent("Pls check the port or baudrate!");' \
  '    log_.LogEvent("Pls check the port or baudrate!");
    log_.LogEvent("Init GPS Board Failed!");' '^RunControllerTest\.'
fault relay-port-pause-200ms app/RunController.h \
  'kRelayPortPause{300}' 'kRelayPortPause{200}' '^RunControllerTest\.'
fault sent-bytes-kb-bound app/TransferStatistics.cpp \
  'if (total < 1024) return' 'if (total <= 1024) return' '^TransferStatisticsTest\.'
fault sent-kb-one-decimal app/TransferStatistics.cpp \
  '1024.0f), 2) + " KB"' '1024.0f), 1) + " KB"' '^TransferStatisticsTest\.'
fault sent-mb-two-decimals app/TransferStatistics.cpp \
  '1048576.0f), 3) + " MB"' '1048576.0f), 2) + " MB"' '^TransferStatisticsTest\.'
fault speed-ring-nine-samples app/TransferStatistics.h \
  'kSampleCount = 8;' 'kSampleCount = 9;' '^TransferStatisticsTest\.'
fault progress-wraps-at-10 app/TransferStatistics.h \
  'kProgressSteps = 100;' 'kProgressSteps = 10;' '^TransferStatisticsTest\.'
fault data-folder-not-locked platform/DataFolder.cpp \
  'if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0)' 'if (fd >= 0)' '^DataFolderLockTest\.'
fault save-replaces-unreadable-file platform/RegistryStore.cpp \
  '    mayReplace_ = false;
    loadProblem_ = name + " cannot be read ("' \
  '    loadProblem_ = name + " cannot be read ("' '^RegistryStoreTest\.'
fault key-path-of-zero-taken platform/RegistryStore.cpp \
  'if (name.empty()) return "a key path that begins with a zero character";' '' \
  '^RegistryStoreTest\.'
fault relay-stop-leaves-send-blocked uplink/Relay.cpp \
  '  flags_.Running = 0;
  casterSocket_->Shutdown();' '  flags_.Running = 0;' '^RelayTest\.'
fault relay-stop-logs-send-error uplink/Relay.cpp \
  'if (!SendBatch(count) && flags_.Running.exchange(0) != 0) {' \
  'if (!SendBatch(count)) {
        flags_.Running = 0;' '^RelayTest\.'
fault exit-left-enabled-while-running app/ui/CDlgMain.cpp \
  '  exit_->setEnabled(!running);
' '' '^(MainWindow|EndToEnd)'
fault progress-not-shown app/ui/CDlgMain.cpp \
  '  if (line.Progress) progress_->setValue(*line.Progress);
' '' '^(MainWindow|EndToEnd)'
chosen=("$@")
[ ${#chosen[@]} -gt 0 ] || chosen=("${names[@]}")
index_of() {
  for i in "${!names[@]}"; do [ "${names[$i]}" = "$1" ] && { echo "$i"; return; }; done
  echo "mutants: no fault named $1" >&2
  exit 2
}
picked=()
for name in "${chosen[@]}"; do picked+=("$(index_of "$name")"); done

stage=$(mktemp -d)
scratch=${MUTANTS_DIR:-}
if [ -z "$scratch" ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch" "$stage"' EXIT
else
  trap 'rm -rf "$stage"' EXIT
fi
jobs=${MUTANTS_JOBS:-$(nproc)}
src=$scratch/src
build=$scratch/build
mkdir -p "$src"

# HEAD into the scratch copy. Files that did not change keep their time
# stamps, so that a kept build stays incremental; files HEAD no longer has go,
# as the test folders pick up every source file they hold.
git archive HEAD | tar -x -C "$stage"
(cd "$stage" && find . -type f -print0) | while IFS= read -r -d '' file; do
  if ! cmp -s "$stage/$file" "$src/$file"; then
    mkdir -p "$(dirname "$src/$file")"
    cp "$stage/$file" "$src/$file"
  fi
done
(cd "$src" && find . -type f -print0) | while IFS= read -r -d '' file; do
  [ -e "$stage/$file" ] || rm -f "$src/$file"
done

build_scratch() {
  cmake --build "$build" -j"$jobs" >"$scratch/build.log" 2>&1
}
# Runs the tests matching $1; prints the failed ones; true when all passed.
run_tests() {
  local out=$scratch/ctest.log
  if QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" -R "$1" --no-tests=error \
    -j"$jobs" --timeout 120 >"$out" 2>&1; then
    return 0
  fi
  sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' "$out" | tr '\n' ' '
  return 1
}

cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_WERROR=ON \
  -DCORVANE_WITH_BENCH=OFF >/dev/null
if ! build_scratch; then
  echo "mutants: the unmutated tree does not build; see $scratch/build.log" >&2
  exit 2
fi
patterns=
for i in "${picked[@]}"; do patterns+="${patterns:+|}${tests[$i]}"; done
if ! failed=$(run_tests "$patterns"); then
  echo "mutants: these tests fail without any fault planted: $failed" >&2
  exit 2
fi

status=0
survived=0
for i in "${picked[@]}"; do
  file=$src/${files[$i]}
  if ! OLD=${olds[$i]} NEW=${news[$i]} perl -0777 -i -pe \
    '$n = () = /\Q$ENV{OLD}\E/g; die "found $n times\n" if $n != 1; s/\Q$ENV{OLD}\E/$ENV{NEW}/' \
    "$file" 2>/dev/null; then
    printf '%-9s %-42s its text is not once in %s\n' STALE "${names[$i]}" "${files[$i]}"
    status=2
  elif ! build_scratch; then
    printf '%-9s %-42s see the build log\n' NOBUILD "${names[$i]}"
    tail -n 20 "$scratch/build.log"
    status=2
  elif failed=$(run_tests "${tests[$i]}"); then
    printf '%-9s %-42s %s\n' SURVIVED "${names[$i]}" "${tests[$i]}"
    survived=$((survived + 1))
  else
    printf '%-9s %-42s %s\n' CAUGHT "${names[$i]}" "$failed"
  fi
  cp "$stage/${files[$i]}" "$file"
done
build_scratch || true
echo "${#picked[@]} faults planted, $survived survived"
[ "$survived" -eq 0 ] || status=1
exit "$status"
