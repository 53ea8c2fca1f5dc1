#!/usr/bin/env bash
# The collector on a sick computer, end to end:
# 1. the policy library, the driver queries and the service session all hang,
#    in one run of the collection with every time limit shortened to 5 s: the
#    run ends by itself with exit code 0 and an archive, every section after
#    the hung ones in the report, the trace naming each limit;
# 2. a fault inside the service library: the event-log step ends " ok" and the
#    archive is made, without the product's log;
# 3. the temporary folder on a full disk: the screen says so in the system's
#    words, the exit code is 0xE600001B and no archive is left behind.
source "$(dirname "$0")/e2e_lib.sh" "$1"
C=$WINEPREFIX/drive_c
LOGS=$C/ProgramData/Corvane/Logs
STUDIO_KEY='HKLM\SOFTWARE\Meridyne\Corvane Studio'
SWITCHES="StandInPolicyHang StandInDriverHang StandInServiceHang StandInServiceFault"
LIMIT_MS=5000
out=/tmp/cv-sick-$$.out
x=/tmp/cv-sick-x-$$
FULL=/tmp/cv-sick-full-$$

# Whatever a run (this one, or an earlier one that failed) set up goes.
restore() {
  for switch in $SWITCHES; do product_reg delete "$STUDIO_KEY" /v $switch /f || true; done
  product_reg import 'C:\trace-off.reg' || true
  rm -f "$WINEPREFIX/dosdevices/t:" "$LOGS/CvDiagReport.log" "$TEMP_DIR"/CvDiagReport-*.dmp
  if mountpoint -q "$FULL" 2>/dev/null; then umount "$FULL"; fi
  rm -rf "$out" "$x" "$FULL"
}
cp "$ROOT/docs/trace-on.reg" "$ROOT/docs/trace-off.reg" "$C/"
restore
trap 'restore; cleanup' EXIT

# collect_within SECONDS OUTFILE COMMAND-LINE: the exit code of a collector's
# run, which must end within SECONDS.
collect_within() {
  local code
  code=$(timeout "$1" bash -c "$(declare -f exit_code); exit_code '$2' '$3'") \
    || fail "the run of $3 did not end within $1 s"
  echo "$code"
}
# The collector's UTF-16 text; cmd's own "EXIT=" line after it is not text of that kind.
screen_text() { { iconv -c -f UTF-16LE -t UTF-8 "$1" 2>/dev/null || true; } | tr -d '\r'; }
report_of() {
  rm -rf "$x"; mkdir -p "$x"
  cabextract -q -d "$x" "$1" || fail "cabextract cannot read $1"
  iconv -f UTF-16LE -t UTF-8 "$x/CvSysInfo.log"
}

# --- 1. three hung components in one run ---
product_reg import 'C:\trace-on.reg'
for switch in StandInPolicyHang StandInDriverHang StandInServiceHang; do
  product_reg add "$STUDIO_KEY" /v $switch /t REG_DWORD /d 1 /f
done
before=$(work_folders)
# Three limits and a normal run, with room for a busy machine.
code=$(collect_within 300 "$out" "P:\\collect_harness.exe $LIMIT_MS -q")
trace=$(cat "$LOGS/CvDiagReport.log" 2>/dev/null || true)
[ "$code" = 0 ] || { screen_text "$out"; fail "exit code $code with hung components"; }
screen_text "$out" | grep -qF '> Exporting Windows event logs... ok' || fail "event-log step: $(screen_text "$out")"
folder=$(new_folder "$before")
[ -f "$folder/CvDiagInfo.cab" ] || fail "no archive with hung components"
[ "$(ls "$folder")" = CvDiagInfo.cab ] || fail "working folder holds more than the archive: $(ls "$folder")"
report=$(report_of "$folder/CvDiagInfo.cab")
# The subsystems keep their title, the policy tells the time limit's code, and
# the sections after them are all there.
rule=$(printf -- '-%.0s' $(seq 180))
block=$(echo "$report" | grep -A4 -x 'Corvane Subsystems Status')
[ "$block" = "Corvane Subsystems Status"$'\n'"$rule"$'\n\n'"$rule"$'\n''Product policy - 00000102' ] \
  || fail "subsystems and policy of hung libraries: $block"
for line in 'System Modules - see file "CvSysMods.log"' 'Dumps found - [0-9]+ files'; do
  echo "$report" | grep -qxE "$line" || fail "report lacks: $line"
done
[ -f "$x/CvSysMods.log" ] || fail "no module list after the hung sections"
[ ! -e "$x/CvPolicy.inf" ] || fail "policy file of a hung library packed"
[ ! -e "$x/Events/Corvane.evt" ] || fail "product log of a hung service packed"
[ -f "$x/Registry/Services.reg" ] || fail "no registry export in the archive"
for expired in '[DiagReport::LogInfo_Subsystems] CvDriverInstaller.dll: expired (5' \
               '[DiagReport::LogInfo_CvPolicy] CvGpe.dll: expired (5' \
               '[DiagReport::ExportEventLogs] CvSrvApi.dll: expired (5'; do
  grep -aqF -- "$expired" <<<"$trace" || fail "the trace lacks: $expired"
done
restore

# --- 2. a fault inside the service library ---
product_reg add "$STUDIO_KEY" /v StandInServiceFault /t REG_DWORD /d 2 /f
before=$(work_folders)
code=$(collect_within 300 "$out" 'P:\CvDiagReport.exe -q')
[ "$code" = 0 ] || { screen_text "$out"; fail "exit code $code with a faulting service library"; }
screen_text "$out" | grep -qF '> Exporting Windows event logs... ok' || fail "event-log step: $(screen_text "$out")"
folder=$(new_folder "$before")
report=$(report_of "$folder/CvDiagInfo.cab")
[ ! -e "$x/Events/Corvane.evt" ] || fail "product log of a faulting service packed"
echo "$report" | grep -qE '^Dumps found - [0-9]+ files$' || fail "the run after the fault lost the report's end"
restore

# --- 3. the temporary folder on a full disk ---
mkdir -p "$FULL"
mount -t tmpfs -o size=1m tmpfs "$FULL" || fail "cannot mount a small disk at $FULL"
cat /dev/zero >"$FULL/filler" 2>/dev/null || true
truncate -s -16K "$FULL/filler"
ln -sfn "$FULL" "$WINEPREFIX/dosdevices/t:"
wineserver -k 2>/dev/null || true  # a fresh server sees the new drive
wineserver -w
disk_full=$(wine 'P:\error_probe.exe' describe 70 | tr -d '\r')
[ -n "$disk_full" ] || fail "no system text for a full disk"
code=$(collect_within 300 "$out" 'set TMP=T:\&& set TEMP=T:\&& P:\CvDiagReport.exe -q')
text=$(screen_text "$out")
[ "$code" = "$((0xE600001B - 0x100000000))" ] || { echo "$text"; fail "exit code $code on a full disk"; }
echo "$text" | grep -qF 'Cabinet library failure' || fail "no cabinet failure on the screen: $text"
echo "$text" | grep -qF -- "$disk_full" || fail "the screen lacks the system's words \"$disk_full\": $text"
leftover=$(find "$FULL" -name CvDiagInfo.cab)
[ -z "$leftover" ] || fail "a broken archive was left: $leftover"
echo "PASS"
