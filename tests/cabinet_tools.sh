#!/usr/bin/env bash
# A cabinet written by Cabinet_CompressFiles, read by tools that share no code
# with cabinet.dll: cabextract tests, lists and extracts it, gcab lists it, and
# every file comes back byte for byte under its name.
set -euo pipefail
BUILD=$(cd "$1" && pwd)
ROOT=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$BUILD/wineprefix}
"$ROOT/script/wine-prefix" "$WINEPREFIX" "$BUILD/bin"

name=cabinet_tools.$$
work=$WINEPREFIX/drive_c/$name
win="C:\\$name"
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/Ελληνικά 数据" "$work/out" "$work/x"

fail() { echo "FAIL: $*"; exit 1; }

# Text, random data over several 32 KB blocks, an empty file, and a folder and
# a name outside every Western and Cyrillic ANSI code page.
printf 'line one\r\nline two\r\n' > "$work/src/a.log"
head -c 300000 /dev/urandom > "$work/src/random.bin"
: > "$work/src/empty.txt"
seq 1 100000 > "$work/src/Ελληνικά 数据/数据.txt"

# The packing list: folder inside the cabinet, a tab, the Windows path.
{
  printf 'Logs\\System\t%s\\src\\a.log\n' "$win"
  printf '\t%s\\src\\random.bin\n' "$win"
  printf 'Logs\\\t%s\\src\\empty.txt\n' "$win"
  printf 'Data\t%s\\src\\Ελληνικά 数据\\数据.txt\n' "$win"
} > "$work/list.txt"

"$ROOT/script/wine-exec" "$BUILD" cabinet_pack.exe "$win\\out\\packed.cab" "$win\\list.txt" \
  || fail "cabinet_pack exited with $?"
cab=$work/out/packed.cab
[ -f "$cab" ] || fail "no cabinet"

# Stored names, in list order; characters the ANSI code page lacks become "?".
expected=$'Logs\\System\\a.log\nrandom.bin\nLogs\\empty.txt\nData\\??.txt'

cabextract -t "$cab" >/dev/null || fail "cabextract -t: the cabinet does not check out"

listed=$(cabextract -l "$cab" | awk -F ' [|] ' 'NF == 3 && $1 ~ /^ *[0-9]+$/ {print $3}' | tr '/' '\\')
[ "$listed" = "$expected" ] || fail "cabextract -l lists"$'\n'"$listed"$'\n'"expected"$'\n'"$expected"

listed=$(gcab -t "$cab" | tr '/' '\\')
[ "$listed" = "$expected" ] || fail "gcab -t lists"$'\n'"$listed"$'\n'"expected"$'\n'"$expected"

cabextract -q -d "$work/x" "$cab" || fail "cabextract could not extract"
cmp "$work/src/a.log" "$work/x/Logs/System/a.log" || fail "a.log differs"
cmp "$work/src/random.bin" "$work/x/random.bin" || fail "random.bin differs"
cmp "$work/src/empty.txt" "$work/x/Logs/empty.txt" || fail "empty.txt differs"
cmp "$work/src/Ελληνικά 数据/数据.txt" "$work/x/Data/??.txt" || fail "数据.txt differs"
echo "cabinet_tools: ok"
