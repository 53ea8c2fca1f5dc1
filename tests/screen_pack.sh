#!/usr/bin/env bash
# The packing progress on a terminal, driven by the packing step of
# cabinet_pack: many small files end on the same screen as any packing, and a
# packing that fails leaves no file line below it.
source "$(dirname "$0")/screen_lib.sh" "$1" pack
fail() { echo "FAIL: $*"; exit 1; }
work=$WINEPREFIX/drive_c/screen_pack
rm -rf "$work"
mkdir -p "$work/files"
trap 'rm -rf "$work"; cleanup' EXIT
for i in $(seq 1 400); do printf 'entry %d\r\n' "$i" >"$work/files/f$i.log"; done
for i in $(seq 1 400); do printf 'Logs\tC:\\screen_pack\\files\\f%d.log\n' "$i"; done >"$work/list.txt"

run_in_terminal 'P:\cabinet_pack.exe C:\screen_pack\out.cab C:\screen_pack\list.txt'
wait_for 'EXIT=' 120
expect_screen 'EXIT=0'
expect_screen '> Packing collected data to cabinet... 100.0% ok'
screen | grep -q 'Progress: ' && fail "progress line not blanked: $(screen)"
[ "$(cabextract -l "$work/out.cab" | grep -c 'Logs/f[0-9]*\.log')" = 400 ] || fail "not every file packed"

# A cabinet path too long for the cabinet library: the first file is shown,
# then the packing fails (206); its file line is blanked before the error.
long=$(printf 'c%.0s' $(seq 1 300))
run_in_terminal "P:\\cabinet_pack.exe C:\\screen_pack\\$long.cab C:\\screen_pack\\list.txt"
wait_for 'EXIT=' 120
expect_screen 'EXIT=206'
expect_screen '> Packing collected data to cabinet... 0.0%'
screen | grep -q 'Progress: ' && fail "file line left below the error: $(screen)"
echo "screen_pack: all checks passed"
