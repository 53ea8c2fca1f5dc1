#!/usr/bin/env bash
# A cabinet written by Cabinet_CompressFiles, read by tools that share no code
# with cabinet.dll (cabextract, gcab, 7z) and by the Windows-side readers
# (extrac32, cabarc): every file comes back byte for byte under its true name,
# also names that the ANSI code page cannot hold.
set -euo pipefail
BUILD=$(cd "$1" && pwd)
ROOT=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$BUILD/wineprefix}
"$ROOT/script/wine-prefix" "$WINEPREFIX" "$BUILD/bin"
export WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"

name=cabinet_tools.$$
work=$WINEPREFIX/drive_c/$name
win="C:\\$name"
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/Ελληνικά 数据" "$work/out"

fail() { echo "FAIL: $*"; exit 1; }

# Names in several scripts; two of the same length in one folder, which would
# be stored alike if their letters were replaced; a name of 240 characters.
long=$(printf 'x%.0s' $(seq 1 235))ж.log
names=(a.log random.bin empty.txt "Ελληνικά 数据/数据.txt" журнал.log отчёты.log 日志文件.log
  "αρχείο καταγραφής.txt" "Übersicht é.log" "$long")
printf 'line one\r\nline two\r\n' > "$work/src/a.log"
head -c 300000 /dev/urandom > "$work/src/random.bin"
: > "$work/src/empty.txt"
seq 1 100000 > "$work/src/Ελληνικά 数据/数据.txt"
i=0
for file in "${names[@]:4}"; do
  i=$((i + 1))
  seq $i 7 $((5000 * i)) > "$work/src/$file"
done

# The packing list (folder inside the cabinet, a tab, the Windows path) and
# the stored names, in list order.
stored=()
{
  printf 'Logs\\System\t%s\\src\\a.log\n' "$win"; stored+=('Logs\System\a.log')
  printf '\t%s\\src\\random.bin\n' "$win"; stored+=('random.bin')
  printf 'Logs\\\t%s\\src\\empty.txt\n' "$win"; stored+=('Logs\empty.txt')
  printf 'Data\t%s\\src\\Ελληνικά 数据\\数据.txt\n' "$win"; stored+=('Data\数据.txt')
  for file in "${names[@]:4}"; do
    printf 'Logs\t%s\\src\\%s\n' "$win" "$file"; stored+=("Logs\\$file")
  done
} > "$work/list.txt"

"$ROOT/script/wine-exec" "$BUILD" cabinet_pack.exe "$win\\out\\packed.cab" "$win\\list.txt" >/dev/null 2>&1 \
  || fail "cabinet_pack exited with $?"
cab=$work/out/packed.cab
[ -f "$cab" ] || fail "no cabinet"

# A name the ANSI code page holds is stored in it, and a reader that does not
# know that code page makes a file of the stored bytes; any other name is
# stored in UTF-8, flagged, and every reader here but extrac32 knows the flag.
acp=$(grep -a '^"ACP"=' "$WINEPREFIX/system.reg" | cut -d'"' -f4)
as_stored=() held=()
for name in "${stored[@]}"; do
  if ansi=$(printf '%s' "$name" | iconv -f UTF-8 -t "CP$acp" 2>/dev/null); then as_stored+=("$ansi") held+=(1)
  else as_stored+=("$name") held+=(0); fi
done

# check_tree READER DIR NAME...: DIR holds the files of the list under the
# names given, in list order, byte for byte, and nothing else.
check_tree() {
  local reader=$1 dir=$2 i=0 source name
  shift 2
  for name in "$@"; do
    source=$work/src/${names[$i]}
    i=$((i + 1))
    [ -f "$dir/${name//\\//}" ] || fail "$reader: no $name; has:"$'\n'"$(cd "$dir" && find . -type f)"
    cmp -s "$source" "$dir/${name//\\//}" || fail "$reader: $name differs"
  done
  [ "$(find "$dir" -type f | wc -l)" = $# ] || fail "$reader: other files:"$'\n'"$(cd "$dir" && find . -type f)"
}

cabextract -t "$cab" >/dev/null || fail "cabextract -t: the cabinet does not check out"
listed=$(cabextract -l "$cab" | awk -F ' [|] ' 'NF == 3 && $1 ~ /^ *[0-9]+$/ {print $3}' | tr '/' '\\')
[ "$listed" = "$(printf '%s\n' "${as_stored[@]}")" ] || fail "cabextract -l lists"$'\n'"$listed"
cabextract -q -d "$work/cabextract" "$cab" || fail "cabextract could not extract"
check_tree cabextract "$work/cabextract" "${as_stored[@]}"

listed=$(gcab -t "$cab" | tr '/' '\\')
[ "$listed" = "$(printf '%s\n' "${as_stored[@]}")" ] || fail "gcab -t lists"$'\n'"$listed"
mkdir "$work/gcab"
gcab -x -C "$work/gcab" "$cab" >/dev/null || fail "gcab could not extract"
check_tree gcab "$work/gcab" "${as_stored[@]}"

7z x -y -o"$work/7z" "$cab" >/dev/null || fail "7z could not extract"
check_tree 7z "$work/7z" "${as_stored[@]}"

# The Windows-side readers, in the prefix. cabarc knows the flag: every file
# under its true name.
mkdir "$work/cabarc"
wine cabarc -p X "$win\\out\\packed.cab" "$win\\cabarc\\" >/dev/null 2>&1 || fail "cabarc exited with $?"
check_tree cabarc "$work/cabarc" "${stored[@]}"

# extrac32 reads every name in the ANSI code page, UTF-8 ones too, but no
# longer stops at one: every file comes out, byte for byte, and those whose
# names the code page holds under their true names. Its destination is
# short, so that the long name stays within MAX_PATH.
short=C:\\x$$
rm -rf "$WINEPREFIX/drive_c/x$$"
trap 'rm -rf "$work" "$WINEPREFIX/drive_c/x$$"' EXIT
wine extrac32 /E /L "$short" "$win\\out\\packed.cab" >/dev/null 2>&1 || fail "extrac32 exited with $?"
sums() { (cd "$1" && find . -type f -exec md5sum {} + | cut -d' ' -f1 | sort); }
[ "$(sums "$WINEPREFIX/drive_c/x$$")" = "$(sums "$work/cabarc")" ] \
  || fail "extrac32: files lost or changed:"$'\n'"$(cd "$WINEPREFIX/drive_c/x$$" && find . -type f)"
for i in "${!stored[@]}"; do
  [ "${held[$i]}" = 1 ] || continue
  cmp -s "$work/src/${names[$i]}" "$WINEPREFIX/drive_c/x$$/${stored[$i]//\\//}" || fail "extrac32: ${stored[$i]}"
done
echo "cabinet_tools: ok"
