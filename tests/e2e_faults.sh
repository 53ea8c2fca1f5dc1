#!/usr/bin/env bash
# The collector end to end with faults of its surroundings, several independent
# ones per run. Every run ends with the archive and exit code 0, traces what it
# could not take and packs everything else:
# 1. output to a pipe, a temporary folder named in Cyrillic, Chinese and Greek,
#    the service library missing with one planted in the current folder, a
#    common log locked by another process, logs larger than a cabinet holds,
#    a folder named like a log, log names outside code page 1251, a log folder
#    that cannot be read and one that does not exist;
# 2. output to a file, the driver-installer and message-table libraries and
#    the rules tool missing, log folders and a dump with paths longer than 260
#    and 480 characters;
# 3. the product not installed at all.
source "$(dirname "$0")/e2e_lib.sh" "$1"
C=$WINEPREFIX/drive_c
PD=$C/ProgramData/Corvane
LOGS=$PD/Logs
STUDIO_WOW='HKLM\SOFTWARE\Wow6432Node\Meridyne\Corvane Studio'
TRACE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\cvcc0\Trace'
out=/tmp/cv-faults-$$.out
x=/tmp/cv-faults-x-$$
export LC_ALL=C.UTF-8  # the Windows command lines below hold non-ASCII names

# Everything the runs set up goes again; the stand-in product is installed
# afresh (its settings imported again, its folders and files put back).
restore() {
  touch "$LOGS/locked.log.release" 2>/dev/null || true
  [ -n "${holder:-}" ] && wait "$holder" 2>/dev/null || true
  rm -rf "$out" "$x" "$C/CvRun" "$C/CvPlant" "$C/CvLong" "$C/Temp-"* "$PD" "$C/Program Files/Corvane"
  product_reg import 'C:\trace-off.reg' || true
  rm -f "$WINEPREFIX/.cv-product.reg"
  "$ROOT/standins/install-product.sh" "$WINEPREFIX" "$BUILD/bin" >/dev/null 2>&1 || true
}
trap 'restore; cleanup' EXIT

# The tool in a folder of its own with the given libraries of the product.
tool_with() {
  rm -rf "$C/CvRun"; mkdir -p "$C/CvRun"
  cp "$BUILD/bin/CvDiagReport.exe" "$C/CvRun/"
  for dll in "$@"; do cp "$BUILD/bin/$dll" "$C/CvRun/"; done
}
trace_on() { product_reg import 'C:\trace-on.reg'; }
trace_of_run() { cat "$LOGS/CvDiagReport.log"; rm -f "$LOGS/CvDiagReport.log"; }
expect_trace() { grep -aqF -- "$2" <<<"$trace" || fail "$1: the trace lacks: $2"; }
# listed FOLDER: the archive's entries, checked by an independent reader.
listed() {
  cabextract -l "$1/CvDiagInfo.cab" | grep -q "All done, no errors." || fail "cabextract cannot read $1"
  cabextract -l "$1/CvDiagInfo.cab" | sed -n 's/^ *[0-9]* | [^|]* | //p' | tr / '\\'
}
expect_entry() { grep -qxF -- "$2" <<<"$entries" || fail "$1: no '$2' in the archive: $entries"; }
expect_no_entry() { grep -qF -- "$2" <<<"$entries" && fail "$1: '$2' packed: $entries" || true; }
cp "$ROOT/docs/trace-on.reg" "$ROOT/docs/trace-off.reg" "$C/"

# --- run 1 ---
temp='C:\Temp-Временная 临时 Προσωρινός'
temp_dir=$C/${temp#C:\\}
mkdir -p "$temp_dir"
tool_with CvGpe.dll CvError.dll CvDriverInstaller.dll
mkdir -p "$C/CvPlant"
cp "$BUILD/bin/CvSrvApi.dll" "$C/CvPlant/"
# The holder opens the log without sharing and keeps it until released.
wine 'P:\hold_file.exe' 'C:\ProgramData\Corvane\Logs\locked.log' >/dev/null 2>&1 &
holder=$!
truncate -s $((4 * 1024 * 1024 * 1024 + 10)) "$LOGS/huge.log"
truncate -s $((0x7FFF8001)) "$LOGS/over-folder.log"
mkdir -p "$LOGS/folder.log"
echo 'журнал' >"$LOGS/Журнал.log"
echo '日志 Ελληνικά' >"$LOGS/日志-Ελληνικά.log"
rm -rf "$PD/Antivirus/Logs"
ln -s Logs "$PD/Antivirus/Logs"  # a link to itself: the folder cannot be opened
product_reg add "$STUDIO_WOW\\Client\\Anti-Malware Protection" /v LogsDir /t REG_SZ /d 'C:\cv-no-such-logs' /f /reg:32
trace_on
for _ in $(seq 100); do [ -e "$LOGS/locked.log.held" ] && break; sleep 0.1; done
[ -e "$LOGS/locked.log.held" ] || fail "the holder did not open locked.log"
rm -f "$LOGS/locked.log.held"
# cmd ends with the tool's exit code, which the EXIT line tells.
{ wine cmd /c "set TEMP=$temp&& set TMP=$temp&& cd /d C:\\CvPlant && C:\\CvRun\\CvDiagReport.exe -q & echo EXIT=%ERRORLEVEL%" \
  2>/dev/null || true; } | cat >"$out"
touch "$LOGS/locked.log.release"
trace=$(trace_of_run)
screen_text=$(iconv -f UTF-16LE -t UTF-8 "$out" 2>/dev/null | tr -d '\r' || true)
code=$(grep -ao 'EXIT=-\?[0-9]*' "$out" | tail -n 1 | cut -d= -f2)
[ "$code" = 0 ] || fail "run 1: exit code $code: $screen_text"
grep -qx '> Packing collected data to cabinet... ok' <<<"$screen_text" || fail "run 1 screen: $screen_text"
folder=$(ls -d "$temp_dir"/CvDiagInfo_* | tail -n 1)
[ -f "$folder/CvDiagInfo.cab" ] || fail "run 1: no archive in the temporary folder: $(ls -R "$temp_dir")"
grep -qF "${folder##*/}\\CvDiagInfo.cab" <<<"$screen_text" || fail "run 1: archive path on the screen: $screen_text"
entries=$(listed "$folder")
for name in 'Logs\Corvane\CvCore.log' 'Logs\Corvane\Журнал.log' 'Logs\Corvane\日志-Ελληνικά.log' \
  'CvSysInfo.log' 'CvPolicy.inf' 'Logs\Corvane\NetworkProtection\NetworkProtection.rules'; do
  expect_entry "run 1" "$name"
done
# The planted service library did not run: no product security log.
for name in locked.log huge.log over-folder.log folder.log 'Antivirus\scan' 'Antimalware\scan' 'Corvane.evt'; do
  expect_no_entry "run 1" "$name"
done
expect_trace "run 1" 'FCIAddFile(), error: 0x00000020 - can'"'"'t pack "C:\ProgramData\Corvane\Logs\locked.log"'
for name in huge.log over-folder.log; do
  expect_trace "run 1" "File too large: $(stat -c %s "$LOGS/$name") B, a cabinet holds at most 2147450880 B of one file - can't pack \"C:\\ProgramData\\Corvane\\Logs\\$name\""
  grep -aq "Packing: \"C:\\\\ProgramData\\\\Corvane\\\\Logs\\\\$name\"" <<<"$trace" || fail "run 1: $name not tried"
done
expect_trace "run 1" 'FindFirstFile("\\?\C:\cv-no-such-logs\*.*"), 0x00000003'
expect_trace "run 1" 'FindFirstFile("\\?\C:\ProgramData\Corvane\Antivirus\Logs\*.*"), 0x'
x1=$x/1; mkdir -p "$x1"
cabextract -q -d "$x1" "$folder/CvDiagInfo.cab"
cmp "$x1/Logs/Corvane/日志-Ελληνικά.log" "$LOGS/日志-Ελληνικά.log" || fail "run 1: the Chinese-Greek log differs"
wait "$holder" || true; holder=
restore

# --- run 2 ---
tool_with CvGpe.dll CvSrvApi.dll
rm -f "$C/Program Files/Corvane/Authentication Server/MdAuthModCfg.exe"
part=$(printf 'folder-%.0s' $(seq 10))  # 70 characters
long260=C:\\CvLong\\$part\\$part\\$part\\$part
long480=$long260\\$part\\$part\\$part\\$part\\$part\\$part\\$part
long_dir() { local d=$C/${1#C:\\}; echo "${d//\\//}"; }
mkdir -p "$(long_dir "$long260")" "$(long_dir "$long480")"
echo '<long260/>' >"$(long_dir "$long260")/long260.xml"
echo '<long480/>' >"$(long_dir "$long480")/long480.xml"
echo 'long log' >"$(long_dir "$long480")/long480.log"
mkdir -p "$(long_dir "$long480")/dumps"
printf 'MDMP\x93\xa7' >"$(long_dir "$long480")/dumps/long.dmp"; truncate -s 4096 "$(long_dir "$long480")/dumps/long.dmp"
product_reg add "$STUDIO_WOW\\Client\\Antivirus Protection" /v ConfigsDir /t REG_SZ /d "$long260" /f /reg:32
product_reg add "$STUDIO_WOW\\Client\\Anti-Malware Protection" /v ConfigsDir /t REG_SZ /d "$long480" /f /reg:32
product_reg add "$STUDIO_WOW\\Client\\Anti-Malware Protection" /v LogsDir /t REG_SZ /d "$long480" /f /reg:32
trace_on
before=$(work_folders)
code=$(PROGRAM='C:\CvRun\CvDiagReport.exe' collect "$out" -q)
trace=$(trace_of_run)
[ "$code" = 0 ] || fail "run 2: exit code $code: $(iconv -f UTF-16LE -t UTF-8 "$out")"
folder=$(new_folder "$before")
entries=$(listed "$folder")
for name in 'Logs\Corvane\Antivirus\Configs\long260.xml' 'Logs\Corvane\Antimalware\Configs\long480.xml' \
  'Logs\Corvane\Antimalware\long480.log' 'CvSysInfo.log' 'Events\Corvane.evt'; do
  expect_entry "run 2" "$name"
done
expect_no_entry "run 2" 'NetworkProtection.rules'
expect_trace "run 2" "Packed: \"$long480\\long480.log\""
x2=$x/2; mkdir -p "$x2"
cabextract -q -d "$x2" -F CvSysInfo.log "$folder/CvDiagInfo.cab"
report=$(iconv -f UTF-16LE -t UTF-8 "$x2/CvSysInfo.log")
grep -qF "\"$long480\\dumps\\long.dmp\" - 4'096 B" <<<"$report" || fail "run 2: the long dump is not listed: $(tail -n 5 <<<"$report")"
# Without the driver-installer library the subsystems block is empty.
grep -qx 'Corvane Subsystems Status' <<<"$report" || fail "run 2: no subsystems block"
grep -A4 -x 'Corvane Subsystems Status' <<<"$report" | grep -q ': On\|: Off' && fail "run 2: subsystems listed"
# Without the message tables, a product error's description is its code.
expect_trace "run 2" 'Description: 0xE600001B'
restore

# --- run 3: the product not installed ---
for key in 'HKLM\SOFTWARE\Meridyne' 'HKLM\SOFTWARE\Wow6432Node\Meridyne' 'HKLM\SOFTWARE\Altorum' \
  'HKLM\SYSTEM\CurrentControlSet\Services\cvcc0'; do
  product_reg delete "$key" /f
done
rm -rf "$PD" "$C/Program Files/Corvane"
before=$(work_folders)
code=$(collect "$out" -q)
[ "$code" = 0 ] || fail "run 3: exit code $code: $(iconv -f UTF-16LE -t UTF-8 "$out")"
entries=$(listed "$(new_folder "$before")")
for name in 'CvSysInfo.log' 'CvSysMods.log' 'Logs\System\setupapi.log'; do expect_entry "run 3" "$name"; done
expect_no_entry "run 3" 'Logs\Corvane'

echo "e2e_faults: all checks passed"
