#!/usr/bin/env bash
# The event log step end to end with the stand-in product: its place among the
# steps, the product's security log in the archive as a classic event log that
# evtinfo and evtexport read, nothing of it left in the working folder; and a
# completed step without a product log when the service is not installed, when
# the service library is missing, and when it lacks an export.
source "$(dirname "$0")/e2e_lib.sh" "$1"
SERVICE_KEY='HKLM\SOFTWARE\Meridyne\Corvane Studio\Service'
ALONE=$WINEPREFIX/drive_c/CvAlone
out=/tmp/cv-events-$$.out
x=/tmp/cv-events-x-$$
trap 'rm -rf "$x" "$out" "$ALONE"; cleanup' EXIT

# The step lines of the last run: the collection's steps follow each other.
expect_steps() {
  local steps order
  steps=$(iconv -f UTF-16LE -t UTF-8 "$out" | tr -d '\r' | grep '^> ')
  order='> Collecting data... ok|> Exporting Windows event logs... ok|> Searching system and applications dumps\.\.\..*'
  echo "$steps" | grep -A2 -x '> Collecting data\.\.\. ok' | paste -sd'|' | grep -qx "$order" \
    || fail "$1: step lines: $steps"
}

# A run of PROGRAM that succeeds and packs no product log.
expect_no_product_log() {
  local label=$1 before code folder
  before=$(work_folders)
  code=$(PROGRAM=$2 collect "$out" -q)
  [ "$code" = 0 ] || fail "$label: exit code $code"
  expect_steps "$label"
  folder=$(new_folder "$before")
  gcab -t "$folder/CvDiagInfo.cab" | grep -q 'Corvane\.evt' && fail "$label: a product log was packed"
  [ -e "$folder/Corvane.evt" ] && fail "$label: a product log was left"
  return 0
}

# --- with the service: the product's log in the archive ---
before=$(work_folders)
code=$(collect "$out" -q)
[ "$code" = 0 ] || fail "exit code $code"
expect_steps "with the service"
folder=$(new_folder "$before")
for _ in $(seq 50); do [ "$(ls "$folder")" = "CvDiagInfo.cab" ] && break; sleep 0.1; done
[ "$(ls "$folder")" = "CvDiagInfo.cab" ] || fail "working folder holds more than the archive: $(ls "$folder")"
listed=$(gcab -t "$folder/CvDiagInfo.cab")
echo "$listed" | grep -qx 'Events\\Corvane\.evt' || fail "no Events\\Corvane.evt in: $listed"
rm -rf "$x"; mkdir -p "$x"
cabextract -q -d "$x" "$folder/CvDiagInfo.cab"
log=$x/Events/Corvane.evt
info=$(evtinfo "$log") || fail "evtinfo cannot read the log: $info"
echo "$info" | grep -Eq 'Number of records[[:space:]]+: 5$' || fail "evtinfo: $info"
events=$(evtexport "$log") || fail "evtexport cannot read the log: $events"
[ "$(echo "$events" | grep -Ec 'Source name[[:space:]]+: Corvane$')" = 5 ] || fail "evtexport sources: $events"
[ "$(echo "$events" | grep -Eo 'Event identifier[[:space:]]+: 0x[0-9a-f]+ \([0-9]+\)' | grep -o '([0-9]*)' | paste -sd' ')" \
  = "(1000) (1100) (2001) (3001) (1200)" ] || fail "evtexport event ids: $events"
echo "$events" | grep -Eq 'String: 1[[:space:]]+: Logon refused$' || fail "evtexport strings: $events"
echo "$events" | grep -Eq 'String: 2[[:space:]]+: @CvDiagReport[0-9A-F]{4}$' || fail "session name: $events"
echo "$events" | grep -Eq "String: 3[[:space:]]+: C:.*\\\\$(basename "$folder")\\\\Corvane\\.evt$" \
  || fail "target path: $events"

# --- the service not installed ---
product_reg add "$SERVICE_KEY" /v Installed /t REG_DWORD /d 0 /f
sleep 1
expect_no_product_log "service not installed" 'P:\CvDiagReport.exe'
product_reg add "$SERVICE_KEY" /v Installed /t REG_DWORD /d 1 /f

# --- the collector in a folder of its own: without the service library, then
# with one that lacks CvBackupSecurityLog ---
mkdir -p "$ALONE"
cp "$BUILD/bin/CvDiagReport.exe" "$BUILD/bin/CvGpe.dll" "$BUILD/bin/CvError.dll" "$ALONE/"
sleep 1
expect_no_product_log "without CvSrvApi.dll" 'C:\CvAlone\CvDiagReport.exe'
cp "$BUILD/bin/partial/CvSrvApi.dll" "$ALONE/"
sleep 1
expect_no_product_log "without CvBackupSecurityLog" 'C:\CvAlone\CvDiagReport.exe'
echo "e2e_events: all checks passed"
