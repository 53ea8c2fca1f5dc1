#!/usr/bin/env bash
# Runs test_dumps in the end-to-end prefix with two more local drives, D: and
# E: (folders of the prefix), and the link loop D:\loop\back -> D:\loop; all
# of them are gone again afterwards.
set -euo pipefail
BUILD=$(cd "$1" && pwd)
ROOT=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$BUILD/wineprefix-e2e}
"$ROOT/script/wine-prefix" "$WINEPREFIX" "$BUILD/bin"
drives=$WINEPREFIX/dumps-drives
cleanup() {
  rm -f "$WINEPREFIX/dosdevices/d:" "$WINEPREFIX/dosdevices/e:"
  rm -rf "$drives"
}
trap cleanup EXIT
cleanup  # what a run that was cut short may have left
mkdir -p "$drives/d/loop" "$drives/e"
ln -sfn "$drives/d" "$WINEPREFIX/dosdevices/d:"
ln -sfn "$drives/e" "$WINEPREFIX/dosdevices/e:"
ln -s .. "$drives/d/loop/back"
"$ROOT/script/wine-exec" "$BUILD" "$BUILD/bin/test_dumps.exe"
