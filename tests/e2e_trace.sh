#!/usr/bin/env bash
# Tracing with every output and every line field switched on (file, debugger,
# console; milliseconds, ids, time, date, session, name) in a run of the real
# collector in a terminal, while the dump search walks two disks at once: C:
# (disk 0) and D:, whose device link makes it disk 1. Each disk's task traces a
# line for each of the small dumps planted on it. Every line of the trace file
# is whole and carries all its fields, none is lost, the two tasks' lines are
# interleaved, and the debugger and the console get the same lines.
source "$(dirname "$0")/e2e_lib.sh" "$1"
C=$WINEPREFIX/drive_c
D=$WINEPREFIX/trace-drive
TRACE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\cvcc0\Trace'
# The product's trace folder (its TracePath).
file=$C/ProgramData/Corvane/Logs/CvDiagReport.log
out=/tmp/cv-trace-$$
before=$(work_folders)
remove_fixtures() {
  rm -rf "$(new_folder "$before")" "$file" "$C/TraceDumps" "$D" "$WINEPREFIX/dosdevices/d:" "$WINEPREFIX/dosdevices/d::" "$out"
  local value
  for value in EnableMask ParamsMask; do product_reg delete "$TRACE_KEY" /v $value /f || true; done
}
trap 'remove_fixtures; cleanup' EXIT
remove_fixtures
mkdir -p "$out"

# small FOLDER COUNT: dumps too small to count, each traced as passed over.
small() { mkdir -p "$1"; for i in $(seq "$2"); do printf 'MDMP' >"$1/s$i.dmp"; done; }
small "$C/TraceDumps" 300
small "$D/dumps" 300
ln -sfn "$D" "$WINEPREFIX/dosdevices/d:"
ln -sfn /dev/null "$WINEPREFIX/dosdevices/d::"
wineserver -k 2>/dev/null || true
bounded 60 "the prefix's Wine server to end" wineserver -w

product_reg add "$TRACE_KEY" /v EnableMask /t REG_DWORD /d 6 /f
product_reg add "$TRACE_KEY" /v ParamsMask /t REG_DWORD /d 0xFC19 /f

# The run on a terminal of its own, with Wine's report of the debugger output
# in a file.
RUNS=$((RUNS + 1))
SOCKET=cvscreen-$$-$RUNS
tmux -L $SOCKET new-session -d -x 250 -y 50 -c "$C" \
  "WINEDEBUG=+debugstr wine cmd /c \"P:\\CvDiagReport.exe -q & echo EXIT=%ERRORLEVEL%\" 2>'$out/debugger'; sleep 600"
wait_for 'EXIT=' 240
expect_screen 'EXIT=0'
[ "$(tmux -L $SOCKET display -p '#{pane_title}')" = CvDiagReport ] || fail "console title: $(tmux -L $SOCKET display -p '#{pane_title}')"

[ -s "$file" ] || fail "no trace file"
[ "$(tail -c 2 "$file" | od -An -tx1 | tr -d ' \n')" = 0d0a ] || fail "the file does not end with a line end"
# Every line: date, time with milliseconds, name, session, process and thread,
# then the level's mark and the message, and one line end. An error's dump is
# one message of several lines: its lines follow the line with its code.
field='[0-9]{2}\.[0-9]{2}\.[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}\[CvDiagReport\] \[[0-9A-F]{8}\] \[[0-9A-F]+:[0-9A-F]+\] '
cr=$'\r'
line="^$field(W> )?\\[[^]]+\\] [^$cr]*$cr\$"
more="^((Description|File|Function|Line): [^$cr]*)?$cr\$"
bad=$(grep -avE "$line|$more" "$file" | head -n 3 || true)
[ -z "$bad" ] || fail "lines not whole: $(printf '%q' "$bad")"
stray=$(grep -aE -B1 "$more" "$file" | grep -avE "$more|\] Code: 0x[0-9A-F]{8}$cr\$|^--\$" | head -n 3 || true)
[ -z "$stray" ] || fail "lines of an error's dump without its code: $stray"
glued=$(grep -aE ".$field" "$file" | head -n 3 || true)
[ -z "$glued" ] || fail "lines run together: $glued"
[ "$(grep -ac '' "$file")" -gt 300 ] || fail "too few lines: $(grep -ac '' "$file")"
owners=$(grep -aE "^$field" "$file" | sed -E 's/^[^]]*\] (\[[0-9A-F]+\] \[[0-9A-F]+):.*/\1/' | sort -u)
[ "$(echo "$owners" | wc -l)" = 1 ] || fail "more than one process or session: $owners"

# thread_of TEXT: the thread of the first line that holds TEXT.
thread_of() { grep -aF -- "$1" "$file" | head -n 1 | sed -E 's/^[^]]*\] \[[^]]*\] \[[0-9A-F]+:([0-9A-F]+)\].*/\1/'; }
main=$(thread_of '[wmain] ExitCode: 0x00000000 (0)')
first=$(thread_of '[Dump::SearchDisk] HardDisk: [0, ')
second=$(thread_of '[Dump::SearchDisk] HardDisk: [1, D]')
[ -n "$first" ] && [ -n "$second" ] || fail "not two disk tasks: $(grep -a HardDisk "$file")"
[ "$first" != "$second" ] && [ "$first" != "$main" ] && [ "$second" != "$main" ] \
  || fail "the disk tasks did not run on threads of their own: $main $first $second"
# None lost: one line per small dump, each on its disk's thread.
for case in "C:\\TraceDumps $first" "D:\\dumps $second"; do
  set -- $case
  count=$(grep -aF "[Dump::Check_Size] Dump \"$1\\s" "$file" | grep -cF ":$2] " || true)
  [ "$count" = 300 ] || fail "$1: $count of 300 small dumps traced on thread $2"
done
# Interleaved: the thread of D: wrote while that of C: was walking.
grep -anE ":($first|$second)\] " "$file" | awk -F: -v a="$first" -v b="$second" '
  { t = ($0 ~ ":" a "\\] ") ? a : b; if (t != last) switches++; last = t }
  END { exit !(switches > 2) }' || fail "the two tasks' lines do not interleave"

# The debugger got the same lines, each thread's in the same order (threads
# may pass each other between the two outputs): Wine reports each line with
# its escapes, cut after 300 characters.
perl -e '
  sub thread { $_[0] =~ /^\S+ \S+ \S+ \[([0-9A-F]+:[0-9A-F]+)\]/ ? $1 : "?" }
  open my $f, "<:raw", $ARGV[0] or die; local $/; my %lines;
  push @{$lines{thread($_)}}, $_ for split /(?<=\r\n)(?=\d\d\.\d\d\.\d{4} )/, <$f>;
  open my $d, "<:raw", $ARGV[1] or die; $/ = "\n";
  while (<$d>) {
    next unless /OutputDebugStringA "(.*)"(\.\.\.)?$/;
    my ($text, $cut) = ($1, $2);
    $text =~ s/\\(x[0-9a-f]{2}|.)/my $e = $1; $e =~ m{^x} ? chr(hex substr($e, 1)) : $e eq "r" ? "\r" : $e eq "n" ? "\n" : $e eq "t" ? "\t" : $e/ge;
    my $line = shift @{$lines{thread($text)}} // die "not in the file: $text\n";
    die "differs from the file: $text\n" unless $cut ? index($line, $text) == 0 : $line eq $text;
  }
  for (values %lines) { die "not given to the debugger: $_->[0]\n" if @$_ }
' "$file" "$out/debugger" || fail "debugger output"
# The console shows them too, the last one whole.
last=$(tail -n 1 "$file" | tr -d '\r')
screen -S - | grep -qF -- "$last" || fail "console lacks: $last"
echo "e2e_trace: all checks passed"
