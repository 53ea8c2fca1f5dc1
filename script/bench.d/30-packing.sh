#!/usr/bin/env bash
# Packing speed: 200 MB of mixed logs and 10,000 files of 1 KB, each packed by
# the collector's packing step (tests/cabinet_pack.cpp, with the progress
# display) with its output redirected and in a terminal (tmux), against
# `gcab -c -z` on the same files. A rate of 1.00 is gcab's.
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
source "$ROOT/script/lib.sh"
BUILD=$(cd "$1" && pwd)
export WINEPREFIX=$BUILD/wineprefix-bench
"$ROOT/script/wine-prefix" "$WINEPREFIX" "$BUILD/bin"
[ -n "${TERM:-}" ] && [ "$TERM" != dumb ] || export TERM=xterm-256color

data=$WINEPREFIX/drive_c/cvbench
work=$BUILD/bench-packing
rm -rf "$work"; mkdir -p "$work"
# Each terminal run has a tmux server of its own, named after the data set: a
# new server on the name of one just killed fails now and then.
socket=
trap '[ -z "$socket" ] || tmux -L $socket kill-server >/dev/null 2>&1 || true; wineserver -k 2>/dev/null || true; rm -rf "$work" "$data"' EXIT
source "$ROOT/script/bench-data.sh"

# pack_list NAME: the packing list of one data set for the probe.
pack_list() {
  local name=$1 file
  for file in "$data/$name"/*; do
    printf 'Logs\tC:\\cvbench\\%s\\%s\n' "$name" "${file##*/}"
  done >"$data/out/$name.txt"
}

# div A B: A / B (A may be a difference) in plain numbers.
div() { awk "BEGIN {print ($1) / ($2)}"; }

seconds_of() { grep -ao 'seconds: [0-9.]*' "$1" | cut -d' ' -f2; }

gcab_seconds() {
  local start end
  start=$(date +%s.%N)
  (cd "$data/$1" && bounded 600 "gcab -c -z ($1)" gcab -c -z "$work/$1.gcab.cab" -- *)
  end=$(date +%s.%N)
  div "$end - $start" 1
}

redirected_seconds() {
  bounded 600 "cabinet_pack ($1, output redirected)" \
    wine 'P:\cabinet_pack.exe' "C:\\cvbench\\out\\$1.cab" "C:\\cvbench\\out\\$1.txt" >"$work/$1.out" 2>"$work/$1.err" \
    || { echo "cabinet_pack failed: $(cat "$work/$1.err")" >&2; exit 1; }
  seconds_of "$work/$1.err"
}

terminal_seconds() {
  rm -f "$work/$1.tty.err" "$work/done"
  [ -z "$socket" ] || tmux -L $socket kill-server >/dev/null 2>&1 || true
  socket=cvbench-$$-$(date +%s)-$1
  tmux -L $socket new-session -d -x 160 -y 50 -c "$data" \
    "wine 'P:\\cabinet_pack.exe' 'C:\\cvbench\\out\\$1.tty.cab' 'C:\\cvbench\\out\\$1.txt' 2>'$work/$1.tty.err'; touch '$work/done'; sleep 600"
  local i
  for ((i = 0; i < 3000; i++)); do
    [ -f "$work/done" ] && break
    sleep 0.2
  done
  [ -f "$work/done" ] || { echo "FAIL: timed out after 600 s waiting for cabinet_pack ($1) to end in the terminal" >&2; exit 1; }
  tmux -L $socket capture-pane -p | grep -qF '> Packing collected data to cabinet... 100.0% ok' \
    || { echo "terminal run: $(tmux -L $socket capture-pane -p)" >&2; exit 1; }
  seconds_of "$work/$1.tty.err"
}

wineserver -p  # one server for all runs: its start is not packing
for set in mixed small; do
  bench_data "$data/$set" $set
  mkdir -p "$data/out"
  pack_list $set
  reference=$(gcab_seconds $set)
  redirected=$(redirected_seconds $set)
  bounded 300 "cabextract -t ($set)" cabextract -q -t "$data/out/$set.cab" >/dev/null || { echo "the $set cabinet does not check out" >&2; exit 1; }
  terminal=$(terminal_seconds $set)
  what=$(bench_what $set)
  printf '%-24s gcab -c -z %6.2f s | redirected %6.2f s, rate %.2f of gcab | terminal %6.2f s, rate %.2f of gcab, %.2f x redirected\n' \
    "$what" "$reference" "$redirected" "$(div "$reference" "$redirected")" \
    "$terminal" "$(div "$reference" "$terminal")" "$(div "$terminal" "$redirected")"
  rm -rf "$data/$set" "$data/out" "$work"/*
done
