#!/usr/bin/env bash
# The dump search of the real collector end to end: dumps planted on C: and on
# a second drive D:, with a link loop, a tree 300 levels deep and a folder too
# deep for the host to open on C:. The run ends and packs; the report's last
# block lists the dumps, the trace tells what was passed over, and the screen
# shows the summary with the count and the total.
source "$(dirname "$0")/e2e_lib.sh" "$1"
C=$WINEPREFIX/drive_c
D=$WINEPREFIX/dumps-drives/d
TRACE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\cvcc0\Trace'
COMMON_LOGS=$C/ProgramData/Corvane/Logs
remove_fixtures() {
  rm -rf "$C/CrashDumps" "$C/loop" "$C/deep" "$C/toolong" "$WINEPREFIX/dumps-drives" \
    "$WINEPREFIX/dosdevices/d:" "$COMMON_LOGS/CvDiagReport.log" /tmp/cv-dumps-$$.out
  product_reg delete "$TRACE_KEY" /v EnableMask /f || true
  product_reg delete "$TRACE_KEY" /v ParamsMask /f || true
}
trap 'remove_fixtures; cleanup' EXIT
# What a run that was cut short may have left (a link loop would fail the set-up).
remove_fixtures

# dump FILE SIGNATURE SIZE: a dump of that size beginning with the signature.
dump() { mkdir -p "$(dirname "$1")"; printf "$2" >"$1"; truncate -s "$3" "$1"; }
MDMP='MDMP\x93\xa7'
# Seven days are 168 hours (10,080 minutes): one dump a little younger, one a
# little older.
dump "$C/CrashDumps/app.dmp" "$MDMP" 2048
touch -d '166 hours ago' "$C/CrashDumps/app.dmp"
dump "$C/CrashDumps/old.dmp" "$MDMP" 2048
touch -d '170 hours ago' "$C/CrashDumps/old.dmp"
dump "$C/CrashDumps/small.dmp" "$MDMP" 7
dump "$C/CrashDumps/other.dmp" 'MDMP\x00\x00' 2048
mkdir -p "$C/loop"
ln -s .. "$C/loop/back"
deep=$C/deep$(printf '/d%.0s' $(seq 299))
mkdir -p "$deep"
dump "$deep/bottom.dmp" "$MDMP" 8
# A chain of folders whose host path is longer than the host allows: the
# collector lists its top but cannot open what lies below.
dump "$C/toolong/zz.dmp" "$MDMP" 16
(cd "$C/toolong" && for _ in $(seq 42); do n=$(printf 'n%.0s' $(seq 100)); mkdir "$n"; cd "$n"; done)
mkdir -p "$D"
ln -sfn "$D" "$WINEPREFIX/dosdevices/d:"
# A running Wine server keeps the drive list it has seen: start afresh.
wineserver -k 2>/dev/null || true
bounded 60 "the prefix's Wine server to end" wineserver -w
dump "$D/kernel/MEMORY.DMP" 'PAGEDU64' 1234567

product_reg add "$TRACE_KEY" /v EnableMask /t REG_DWORD /d 6 /f
product_reg add "$TRACE_KEY" /v ParamsMask /t REG_DWORD /d 1 /f
before=$(work_folders)
code=$(collect /tmp/cv-dumps-$$.out -q)
[ "$code" = 0 ] || { iconv -f UTF-16LE -t UTF-8 /tmp/cv-dumps-$$.out; fail "exit code $code"; }
folder=$(new_folder "$before")
x=/tmp/cv-dumps-x-$$; rm -rf "$x"; mkdir -p "$x"
trap 'rm -rf "$x"; remove_fixtures; cleanup' EXIT
cabextract -q -d "$x" "$folder/CvDiagInfo.cab" || fail "no archive"
report=$(iconv -f UTF-16LE -t UTF-8 "$x/CvSysInfo.log")
win_deep='C:\deep'$(printf '\\d%.0s' $(seq 299))'\bottom.dmp'
rule=$(printf '%*s' 180 '' | tr ' ' -)
block=$(echo "$report" | sed -n "/^Dumps found - /,\$p")
[ "$(echo "$block" | head -n 2)" = "Dumps found - 4 files
$rule" ] || fail "dump block title: $(echo "$block" | head -n 2)"
# All drives of a Wine prefix are on disk 0: C: is walked before D:, and the
# order within C: is the order in which the host lists its folders.
listed=$(echo "$block" | sed -n '3,6p')
[ "$(echo "$listed" | sort)" = "$(printf '%s\n' "\"C:\\CrashDumps\\app.dmp\" - 2'048 B" \
  "\"C:\\toolong\\zz.dmp\" - 16 B" "\"$win_deep\" - 8 B" "\"D:\\kernel\\MEMORY.DMP\" - 1'234'567 B" | sort)" ] \
  || fail "dumps listed: $listed"
[ "$(echo "$listed" | tail -n 1)" = "\"D:\\kernel\\MEMORY.DMP\" - 1'234'567 B" ] || fail "D: not after C:: $listed"
[ "$(echo "$block" | wc -l)" = 6 ] || fail "block does not end after the list: $block"
[ "$(tail -c 4 "$x/CvSysInfo.log" | od -An -tx1 | tr -d " \n")" = "0a000a00" ] || fail "report does not end with an empty line"

trace=$(tr -d '\r' <"$COMMON_LOGS/CvDiagReport.log")
expect_trace() { echo "$trace" | grep -qF -- "$1" || fail "trace lacks: $1"; }
expect_trace '[DiagReport::EnumerateFolder] "C:\loop\back": reparse point, not entered'
expect_trace 'W> [DiagReport::EnumerateFolder] FindFirstFile("\\?\C:\toolong\'
expect_trace '[Dump::Check_Time] Dump "C:\CrashDumps\old.dmp": skipped, too old'
expect_trace '[Dump::Check_Size] Dump "C:\CrashDumps\small.dmp": skipped, too small (7 bytes)'
expect_trace '[Dump::Check_Magic] Dump "C:\CrashDumps\other.dmp": skipped, magic error'
expect_trace '[Dump::SearchDisk] Enumerate "D:" >> 1 dumps'
[ "$(echo "$trace" | grep -c 'loop\\back\\')" = 0 ] || fail "the walk entered the link loop"

# The summary on a terminal: the count in yellow, each path with its size,
# the total of the sizes.
rm -f "$COMMON_LOGS/CvDiagReport.log"
product_reg delete "$TRACE_KEY" /v EnableMask /f
run_in_terminal 'P:\CvDiagReport.exe -q'
wait_for 'EXIT=' 180
expect_screen 'EXIT=0'
expect_screen '> Searching system and applications dumps... ok'
expect_screen 'There are 4 dumps detected during collecting of diagnostic information:'
expect_colored $'There are \e[93m4\e[39m dumps detected'
expect_screen '  "C:\CrashDumps\app.dmp", size: ~2.00 KB'
expect_screen '  "D:\kernel\MEMORY.DMP", size: ~1.18 MB'
# The console wraps the long path onto rows of its own.
screen | tr -d '\n' | grep -qF "  \"$win_deep\", size: 8 B" || fail "screen lacks the deep dump: $(screen)"
expect_screen 'Due to the overall size of these files (~1.18 MB), please, collect these files manually'
expect_screen '> Cleaning temporary files... ok'
echo "e2e_dumps: all checks passed"
