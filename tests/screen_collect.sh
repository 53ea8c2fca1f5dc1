#!/usr/bin/env bash
# The packing progress of the real collector on a terminal: the percentage
# rewritten in place on the step line, the file line two rows below it with no
# tail of a longer text, blanked at the end; and no display, but a whole run,
# when the step line has no room below it.
source "$(dirname "$0")/e2e_lib.sh" "$1"
WIN=$WINEPREFIX/drive_c/windows
saved=/tmp/cv-screen-$$; mkdir -p "$saved"
cp "$WIN/setupact.log" "$WIN/setuperr.log" "$saved/"
trap 'cp "$saved"/* "$WIN/"; rm -rf "$saved"; cleanup' EXIT
# setupact.log's file text ("~1.95 KB") is one character longer than that of
# the large setuperr.log packed after it ("~120 MB"): the line must not keep
# a tail of the longer one.
head -c 2000 /dev/urandom >"$WIN/setupact.log"
head -c $((120 * 1024 * 1024)) /dev/urandom >"$WIN/setuperr.log"

run_in_terminal 'P:\CvDiagReport.exe -q'
wait_for 'Progress: "C:\windows\setuperr.log"' 120
snapshot=$(screen)
step_row=$(echo "$snapshot" | grep -n '^> Packing collected data to cabinet\.\.\.' | cut -d: -f1)
file_row=$(echo "$snapshot" | grep -n '^Progress: ' | cut -d: -f1)
[ -n "$step_row" ] && [ "$file_row" = $((step_row + 2)) ] || fail "file line not two rows below the step line: $snapshot"
echo "$snapshot" | sed -n "${step_row}p" | grep -Eq '^> Packing collected data to cabinet\.\.\. [0-9]+\.[0-9]%$' \
  || fail "step line while packing: $(echo "$snapshot" | sed -n "${step_row}p")"
tmux -L $SOCKET capture-pane -p | sed -n "${file_row}p" | grep -Eq '^Progress: "C:\\windows\\setuperr\.log", FileSize: ~120 MB *$' \
  || fail "file line while packing: $(tmux -L $SOCKET capture-pane -p | sed -n "${file_row}p" | cat -A)"
wait_for 'EXIT=' 120
expect_screen 'EXIT=0'
expect_screen '> Packing collected data to cabinet... 100.0% ok'
expect_colored $'100.0%\e[92m ok'
screen | grep -q 'Progress: ' && fail "progress line not blanked: $(screen)"
expect_screen '> Cleaning temporary files... ok'

# A terminal of 8 rows: the step line stands on one of the last two rows, so
# the file line has no room. The run still packs and completes the step.
cp "$saved"/* "$WIN/"
run_in_terminal 'P:\CvDiagReport.exe -q' 8
wait_for 'EXIT=' 120
expect_screen 'EXIT=0'
tmux -L $SOCKET capture-pane -p -S -50 | grep -q '^> Packing collected data to cabinet\.\.\. ok' \
  || fail "packing step without room: $(tmux -L $SOCKET capture-pane -p -S -50)"
echo "screen_collect: all checks passed"
