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
# The archive's manifest of run 1 (with a product log locked by another
# process, a setup log missing and one larger than a cabinet takes, too) tells
# each file's fate, every step and section, and is the archive's last file.
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
  touch "$LOGS/locked.log.release" 2>/dev/null || true
  [ -n "${holder:-}" ] && wait "$holder" 2>/dev/null || true
  holder=
  rm -f "$LOGS/locked.log"* "$LOGS/huge.log" "$C/windows/inf/setupapi.app.log.away"
  [ -f "$C/windows/inf/setupapi.app.log" ] || echo 'setup' >"$C/windows/inf/setupapi.app.log"
  for switch in $SWITCHES; do product_reg delete "$STUDIO_KEY" /v $switch /f || true; done
  product_reg import 'C:\trace-off.reg' || true
  rm -f "$WINEPREFIX/dosdevices/t:" "$LOGS/CvDiagReport.log" "$TEMP_DIR"/CvDiagReport-*.dmp
  if mountpoint -q "$FULL" 2>/dev/null; then umount "$FULL"; fi
  rm -rf "$out" "$x" "$FULL"
}
cp "$ROOT/docs/trace-on.reg" "$ROOT/docs/trace-off.reg" "$C/"
restore
trap 'restore; cleanup' EXIT

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
wine 'P:\hold_file.exe' 'C:\ProgramData\Corvane\Logs\locked.log' >/dev/null 2>&1 &
holder=$!
truncate -s $((0x7FFF8001)) "$LOGS/huge.log"
rm -f "$C/windows/inf/setupapi.app.log"
for _ in $(seq 100); do [ -e "$LOGS/locked.log.held" ] && break; sleep 0.1; done
[ -e "$LOGS/locked.log.held" ] || fail "the holder did not open locked.log within 10 s"
rm -f "$LOGS/locked.log.held"
before=$(work_folders)
# Three limits and a normal run: well within the run's own limit.
code=$(exit_code "$out" "P:\\collect_harness.exe $LIMIT_MS -q")
touch "$LOGS/locked.log.release"
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
# The manifest: the archive's last file; every file's fate; a packed one's size
# and SHA-256 those of the file cabextract gives.
[ "$(gcab -t "$folder/CvDiagInfo.cab" | tail -n 1)" = CvManifest.json ] || fail "the manifest is not the last file"
python3 - "$x" <<'PY' || fail "manifest"
import hashlib, json, os, sys
root = sys.argv[1]
raw = open(os.path.join(root, "CvManifest.json"), "rb").read()
assert not raw.startswith(b"\xef\xbb\xbf"), "byte-order mark"
m = json.loads(raw.decode("utf-8"))
assert m["tool"] == "CvDiagReport" and m["version"] == "8.3.1406.0", (m["tool"], m["version"])
for stamp in (m["started"], m["finished"]):
    assert len(stamp) == 25 and stamp[10] == "T" and stamp[19] in "+-", stamp
assert [s["name"] for s in m["steps"]] == ["Collecting data", "Exporting Windows event logs",
                                          "Searching system and applications dumps"], m["steps"]
assert all(s["result"] == "ok" for s in m["steps"]), m["steps"]
sections = {s["name"]: s["result"] for s in m["sections"]}
assert list(sections) == ["Header", "Hardware", "ComputerRole", "RegKeys", "Services", "InstalledSoftware",
                          "Subsystems", "Policy", "SystemModules"], list(sections)
assert sections["Subsystems"] == "timed out" and sections["Policy"] == "timed out", sections
assert sections["SystemModules"] == "ok", sections
files = {f["archiveName"]: f for f in m["files"]}
def left_out(name, codes):
    f = files[name]
    assert f["status"] == "left out" and f["error"] in codes and f["reason"], f
    assert not os.path.exists(os.path.join(root, name.replace("\\", "/"))), name
left_out("Logs\\Corvane\\locked.log", (32,))
left_out("Logs\\Corvane\\huge.log", (223,))
left_out("Logs\\System\\setupapi.app.log", (2, 3))
packed = [f for f in m["files"] if f["status"] == "packed"]
assert len(packed) > 10, len(packed)
for f in packed:
    data = open(os.path.join(root, f["archiveName"].replace("\\", "/")), "rb").read()
    assert f["size"] == len(data) and f["sha256"] == hashlib.sha256(data).hexdigest(), f["archiveName"]
listed = {f["archiveName"] for f in packed} | {"CvManifest.json"}
found = {os.path.relpath(os.path.join(d, n), root).replace("/", "\\") for d, _, ns in os.walk(root) for n in ns}
assert found == listed, found ^ listed
PY
for expired in '[DiagReport::LogInfo_Subsystems] CvDriverInstaller.dll: expired (5' \
               '[DiagReport::LogInfo_CvPolicy] CvGpe.dll: expired (5' \
               '[DiagReport::ExportEventLogs] CvSrvApi.dll: expired (5'; do
  grep -aqF -- "$expired" <<<"$trace" || fail "the trace lacks: $expired"
done
# Each hung component cost its limit once: not once per query or per call.
[ "$(grep -ac 'expired (5' <<<"$trace")" = 3 ] || fail "limits passed: $(grep -a 'expired (5' <<<"$trace")"
restore

# --- 2. a fault inside the service library ---
product_reg add "$STUDIO_KEY" /v StandInServiceFault /t REG_DWORD /d 2 /f
before=$(work_folders)
code=$(exit_code "$out" 'P:\CvDiagReport.exe -q')
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
code=$(exit_code "$out" 'set TMP=T:\&& set TEMP=T:\&& P:\CvDiagReport.exe -q')
text=$(screen_text "$out")
[ "$code" = "$((0xE600001B - 0x100000000))" ] || { echo "$text"; fail "exit code $code on a full disk"; }
echo "$text" | grep -qF 'Cabinet library failure' || fail "no cabinet failure on the screen: $text"
echo "$text" | grep -qF -- "$disk_full" || fail "the screen lacks the system's words \"$disk_full\": $text"
leftover=$(find "$FULL" -name CvDiagInfo.cab)
[ -z "$leftover" ] || fail "a broken archive was left: $leftover"
echo "PASS"
