#!/usr/bin/env bash
# The dump search's walk over a synthetic tree of 200,000 files in 2,000
# folders (five of them dumps) on C: of a prefix of its own, against find over
# the same folder: find reading names only, and find reading what the walk
# needs of every entry (type, size, time). All after one warm-up pass, so that
# all read cached folders.
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
source "$ROOT/script/lib.sh"
BUILD=$(cd "$1" && pwd)
export WINEPREFIX=$BUILD/wineprefix-bench-dumps
"$ROOT/script/wine-prefix" "$WINEPREFIX" "$BUILD/bin"
tree=$WINEPREFIX/drive_c/dumptree
if [ ! -f "$tree/.made" ]; then
  rm -rf "$tree"
  for a in $(seq -w 0 199); do
    for b in $(seq 0 9); do
      folder=$tree/group$a/folder$b
      mkdir -p "$folder"
      (cd "$folder" && touch file{00..49}.txt file{50..99}.dat)
    done
  done
  for n in 0 1 2 3 4; do
    dump=$tree/group$(printf '%03d' $((n * 40)))/folder$n/crash$n.dmp
    printf 'MDMP\x93\xa7' >"$dump"
    truncate -s 1024 "$dump"
  done
  touch "$tree/.made"
fi

walk() { bounded 600 "dumps_walk over C:\\dumptree" wine "P:\\dumps_walk.exe" 'C:\dumptree' | tr -d '\r'; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }

find "$tree" >/dev/null
walk >/dev/null
start=$(date +%s%N)
entries=$(find "$tree" -mindepth 1 ! -name .made | wc -l)
find_seconds=$(seconds "$start" "$(date +%s%N)")
start=$(date +%s%N)
find "$tree" -mindepth 1 -printf '%y %s %T@\n' >/dev/null
stat_seconds=$(seconds "$start" "$(date +%s%N)")
read -r walk_seconds dumps < <(walk)
wineserver -k 2>/dev/null || true
[ "$dumps" = 5 ] || { echo "dump walk: found $dumps dumps instead of 5" >&2; exit 1; }
awk -v n="$entries" -v walk="$walk_seconds" -v names="$find_seconds" -v stats="$stat_seconds" 'BEGIN {
  printf "dump walk: %d entries; collector %.0f entries/s (%.2f s)\n", n, n / walk, walk
  printf "dump walk: find, names only %.0f entries/s (%.2f s); collector/find ratio %.2f\n", n / names, names, names / walk
  printf "dump walk: find -printf type, size, time %.0f entries/s (%.2f s); collector/find ratio %.2f\n", n / stats, stats, stats / walk
}'
