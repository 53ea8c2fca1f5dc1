#!/usr/bin/env bash
# The whole collection as a user runs it (-q, output redirected), on a prefix of
# its own with the stand-in product whose antivirus log folder holds 200 MB of
# mixed logs, then 10,000 files of 1 KB. The time of each step comes from the
# trace's time stamps (the line that announces each step; the last step ends
# with the exit code's line), the packing throughput from the bytes the archive
# holds; gcab -c -z packs the same files, taken out of the archive, for the
# reference. A rate of 1.00 is gcab's.
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
source "$ROOT/script/lib.sh"
BUILD=$(cd "$1" && pwd)
export WINEPREFIX=$BUILD/wineprefix-bench-collection
bounded 600 "the stand-in product's installation" \
  "$ROOT/standins/install-product.sh" "$WINEPREFIX" "$BUILD/bin" >/dev/null 2>&1
source "$ROOT/script/bench-data.sh"

C=$WINEPREFIX/drive_c
logs=$C/ProgramData/Corvane/Antivirus/Logs
work=$BUILD/bench-collection
key='HKLM\SYSTEM\CurrentControlSet\Services\cvcc0\Trace\CvDiagReport'
cleanup() {
  wineserver -k 2>/dev/null || true
  # The stand-in installer puts the folder's own files back on its next run.
  rm -rf "$work" "$logs" "$temp"/CvDiagInfo_* "$trace"
}
# The trace goes to the product's common log folder (its TracePath).
trace=$C/ProgramData/Corvane/Logs/CvDiagReport.log
temp=$(cd "$C" && bounded 120 "cmd to tell the temporary folder" wine cmd /c echo %TEMP% | tr -d '\r')
temp=${temp#[Cc]:}
temp=$C${temp//\\//}
trap cleanup EXIT
rm -rf "$work" "$temp"/CvDiagInfo_*
mkdir -p "$work"

# One server for all runs: its start is not the collection's.
wineserver -k 2>/dev/null || true
bounded 60 "the prefix's Wine server to end" wineserver -w
wineserver -p
bounded 120 "reg add (trace levels)" wine reg add "$key" /v EnableMask /t REG_DWORD /d 6 /f >/dev/null 2>&1
# The file, with the time of day and its milliseconds.
bounded 120 "reg add (trace outputs)" wine reg add "$key" /v ParamsMask /t REG_DWORD /d 0x1401 /f >/dev/null 2>&1
bounded 120 "a first reg query" wine reg query 'HKLM\SOFTWARE' >/dev/null 2>&1 || true

# steps TRACE: "milliseconds caption" of each step, then "milliseconds end".
steps() {
  tr -d '\r' <"$1" | awk '
    function ms(line) { return ((substr(line, 1, 2) * 60 + substr(line, 4, 2)) * 60 + substr(line, 7, 2)) * 1000 + substr(line, 10, 3) }
    /^[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9]\[console::echo::step\] / { print ms($0), substr($0, index($0, "] ") + 2) }
    /^[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9]\[wmain\] ExitCode: / { print ms($0), "end" }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }
rate() { awk -v bytes="$1" -v ms="$2" 'BEGIN {printf "%.1f MB/s", (ms > 0 ? bytes / 1048576 / (ms / 1000) : 0)}'; }
now_ms() { date +%s%3N; }

for set in mixed small; do
  bench_data "$logs" $set
  before=$(ls -d "$temp"/CvDiagInfo_* 2>/dev/null || true)
  (cd "$C" && bounded 900 "the collection ($set)" wine 'P:\CvDiagReport.exe' -q >"$work/out" 2>&1) || { echo "collection failed: $(tr -d '\0' <"$work/out")" >&2; exit 1; }
  folder=$(comm -13 <(echo "$before") <(ls -d "$temp"/CvDiagInfo_*) | tail -n 1)
  cp "$trace" "$work/trace"
  mkdir -p "$work/files"
  bounded 300 "cabextract ($set)" cabextract -q -d "$work/files" "$folder/CvDiagInfo.cab" || { echo "the $set archive does not check out" >&2; exit 1; }
  files=$(find "$work/files" -type f | wc -l)
  bytes=$(find "$work/files" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
  start=$(now_ms)
  (cd "$work/files" && find . -type f -printf '%P\0' | bounded 600 "gcab -c -z ($set)" xargs -0 gcab -c -z "$work/gcab.cab")
  reference=$(($(now_ms) - start))

  printf 'whole collection, %s in the product log folder: %s files, %s packed into %s\n' \
    "$(bench_what $set)" "$files" "$(awk -v b="$bytes" 'BEGIN {printf "%.1f MB", b / 1048576}')" \
    "$(stat -c %s "$folder/CvDiagInfo.cab" | awk '{printf "%.1f MB", $1 / 1048576}')"
  steps "$work/trace" | awk 'NR > 1 { d = $1 - t; if (d < 0) d += 86400000; printf "%s %d\n", c, d; total += d }
    { t = $1; c = $0; sub(/^[0-9]+ /, "", c); gsub(/ /, "_", c) } END { printf "whole_run %d\n", total }' >"$work/steps"
  while read -r caption ms; do
    caption=${caption//_/ }
    if [ "$caption" = "Packing collected data to cabinet" ]; then
      packing=$ms
      printf '  %-46s %8d ms  %s, rate %s of gcab\n' "$caption" "$ms" "$(rate "$bytes" "$ms")" "$(ratio "$reference" "$ms")"
    else
      printf '  %-46s %8d ms\n' "$caption" "$ms"
    fi
  done <"$work/steps"
  [ -n "${packing:-}" ] || { echo "no packing step in the trace" >&2; exit 1; }
  printf '  %-46s %8d ms  %s\n' "gcab -c -z on the same files" "$reference" "$(rate "$bytes" "$reference")"
  unset packing
  rm -rf "$work"/* "$folder"
done
