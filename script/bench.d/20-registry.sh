#!/usr/bin/env bash
# The registry export step: the thirteen exports started together against the
# slowest of them run alone, the time of the system modules section (the
# version information of every module of the system folders), and the healthy
# times of the work that runs under a time limit against those limits. One run
# each, in a prefix with the stand-in product installed.
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
source "$ROOT/script/lib.sh"
BUILD=$(cd "$1" && pwd)
export WINEPREFIX=$BUILD/wineprefix-bench
bounded 600 "the stand-in product's installation" \
  "$ROOT/standins/install-product.sh" "$WINEPREFIX" "$BUILD/bin" >/dev/null 2>&1
work=$WINEPREFIX/drive_c/cv-bench-registry
rm -rf "$work"; mkdir -p "$work"
trap 'rm -rf "$work"; wineserver -k 2>/dev/null || true' EXIT
# A first start of reg.exe brings the prefix's processes up; it is not measured.
bounded 120 "a first reg query" wine reg query 'HKLM\SOFTWARE' >/dev/null 2>&1 || true
figures=$(cd "$WINEPREFIX/drive_c" && bounded 600 "report_probe bench (registry exports, system modules)" \
  wine 'P:\report_probe.exe' bench 'C:\cv-bench-registry' | tr -d '\r')
parallel=$(echo "$figures" | awk '$1 == "parallel" {print $2}')
slowest=$(echo "$figures" | awk '$1 == "single" {print $NF}' | sort -n | tail -n 1)
slowest_file=$(echo "$figures" | awk -v t="$slowest" '$1 == "single" && $NF == t {$1 = ""; $NF = ""; print; exit}')
together=$(echo "$figures" | awk '$1 == "single" {s += $NF} END {print s}')
modules=$(echo "$figures" | awk '$1 == "modules" {print $2}')
count=$(grep -c '^.\{55\} ' "$work/CvSysMods.log" || true)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }
printf '%-58s %8s ms\n' "registry export, 13 branches in parallel" "$parallel"
printf '%-58s %8s ms  parallel/this %s\n' "  slowest export alone ($(echo $slowest_file))" "$slowest" \
  "$(ratio "$parallel" "$slowest")"
printf '%-58s %8s ms  parallel/this %s\n' "  the 13 exports one after another" "$together" \
  "$(ratio "$parallel" "$together")"
printf '%-58s %8s ms  (%s modules, %s ms each)\n' "system modules section" "$modules" "$count" \
  "$(ratio "$modules" "$count")"
# What runs under a time limit, as long as it takes on this healthy prefix, and
# how much of its limit that is.
echo "$figures" | awk '$1 == "timed" {
  printf "%-58s %8s ms  of its limit %.4f\n", "  under a time limit: " $2, $3, $3 / $4 }'
