#!/usr/bin/env bash
# Packing speed: 200 MB of mixed logs and 10,000 files of 1 KB, each packed by
# the collector's packing step (tests/cabinet_pack.cpp, with the progress
# display) with its output redirected and in a terminal (tmux), against
# `gcab -c -z` on the same files. A rate of 1.00 is gcab's.
set -euo pipefail
BUILD=$(cd "$1" && pwd)
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX=$BUILD/wineprefix-bench WINEDEBUG=-all
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
"$ROOT/script/wine-prefix" "$WINEPREFIX" "$BUILD/bin"
[ -n "${TERM:-}" ] && [ "$TERM" != dumb ] || export TERM=xterm-256color

data=$WINEPREFIX/drive_c/cvbench
work=$(mktemp -d)
socket=cvbench-$$
trap 'tmux -L $socket kill-server >/dev/null 2>&1 || true; wineserver -k 2>/dev/null || true; rm -rf "$work" "$data/out"' EXIT
mkdir -p "$data/out"

# Made once per prefix: log lines that vary as real ones do, and some data that
# hardly compresses (dumps of binary logs).
make_data() {
  [ -f "$data/.made" ] && return
  rm -rf "$data/mixed" "$data/small"
  mkdir -p "$data/mixed" "$data/small"
  local i
  for i in $(seq 1 8); do
    awk -v seed="$i" -v lines=$((48000 * i)) 'BEGIN {
      srand(seed)
      split("INFO WARN ERROR DEBUG TRACE", level, " ")
      split("scanner updater service driver policy network", part, " ")
      for (n = 0; n < lines; n++)
        printf "2026-12-%02d %02d:%02d:%02d.%03d [%5d] %-5s %s: object %08x checked in %d ms, result %d\r\n",
          1 + n % 28, n / 3600 % 24, n / 60 % 60, n % 60, int(rand() * 1000), int(rand() * 65536),
          level[1 + int(rand() * 5)], part[1 + int(rand() * 6)], int(rand() * 4294967295), int(rand() * 500),
          int(rand() * 3)
    }' >"$data/mixed/product$i.log"
  done
  head -c $((30 * 1024 * 1024)) /dev/urandom >"$data/mixed/Application.evtx"
  head -c $((6 * 1024 * 1024)) /dev/urandom >"$data/mixed/System.evtx"
  # A log of one repeated line makes up the rest of the 200 MB.
  local have
  have=$(cat "$data/mixed"/* | wc -c)
  [ "$have" -lt $((200 * 1024 * 1024)) ] || { echo "bench data over 200 MB" >&2; exit 1; }
  (yes 'service heartbeat: state 4, queue empty' || true) | head -c $((200 * 1024 * 1024 - have)) >"$data/mixed/heartbeat.log"
  awk -v dir="$data/small" 'BEGIN {
    srand(7)
    for (f = 1; f <= 10000; f++) {
      name = sprintf("%s/scan%05d.log", dir, f)
      text = ""
      while (length(text) < 1000)
        text = text sprintf("%05d %08x item %d verified\r\n", f, int(rand() * 4294967295), int(rand() * 100000))
      printf "%s", substr(text, 1, 1024) >name
      close(name)
    }
  }'
  touch "$data/.made"
}

# pack_list NAME: the packing list of one data set for the probe.
pack_list() {
  local name=$1 file
  for file in "$data/$name"/*; do
    printf 'Logs\tC:\\cvbench\\%s\\%s\n' "$name" "${file##*/}"
  done >"$data/out/$name.txt"
}

seconds_of() { grep -ao 'seconds: [0-9.]*' "$1" | cut -d' ' -f2; }

gcab_seconds() {
  local start end
  start=$(date +%s.%N)
  (cd "$data/$1" && gcab -c -z "$work/$1.gcab.cab" -- *)
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

redirected_seconds() {
  wine 'P:\cabinet_pack.exe' "C:\\cvbench\\out\\$1.cab" "C:\\cvbench\\out\\$1.txt" >"$work/$1.out" 2>"$work/$1.err" \
    || { echo "cabinet_pack failed: $(cat "$work/$1.err")" >&2; exit 1; }
  seconds_of "$work/$1.err"
}

terminal_seconds() {
  rm -f "$work/$1.tty.err" "$work/done"
  tmux -L $socket kill-server >/dev/null 2>&1 || true
  tmux -L $socket new-session -d -x 160 -y 50 -c "$data" \
    "wine 'P:\\cabinet_pack.exe' 'C:\\cvbench\\out\\$1.tty.cab' 'C:\\cvbench\\out\\$1.txt' 2>'$work/$1.tty.err'; touch '$work/done'; sleep 600"
  local i
  for ((i = 0; i < 3000; i++)); do
    [ -f "$work/done" ] && break
    sleep 0.2
  done
  [ -f "$work/done" ] || { echo "terminal run did not end" >&2; exit 1; }
  tmux -L $socket capture-pane -p | grep -qF '> Packing collected data to cabinet... 100.0% ok' \
    || { echo "terminal run: $(tmux -L $socket capture-pane -p)" >&2; exit 1; }
  seconds_of "$work/$1.tty.err"
}

make_data
wineserver -p  # one server for all runs: its start is not packing
for set in mixed small; do
  pack_list $set
  reference=$(gcab_seconds $set)
  redirected=$(redirected_seconds $set)
  cabextract -q -t "$data/out/$set.cab" >/dev/null || { echo "the $set cabinet does not check out" >&2; exit 1; }
  terminal=$(terminal_seconds $set)
  case $set in
    mixed) what="200 MB of mixed logs" ;;
    small) what="10,000 files of 1 KB" ;;
  esac
  printf '%-24s gcab -c -z %6.2f s | redirected %6.2f s, rate %.2f of gcab | terminal %6.2f s, rate %.2f of gcab, %.2f x redirected\n' \
    "$what" "$reference" "$redirected" "$(echo "$reference / $redirected" | bc -l)" \
    "$terminal" "$(echo "$reference / $terminal" | bc -l)" "$(echo "$terminal / $redirected" | bc -l)"
done
