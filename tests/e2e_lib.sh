# Helpers of the end-to-end tests: a prefix of their own with the stand-in
# product installed, runs of the real collector, and its working folders. A
# second argument names the prefix (build/wineprefix-NAME, "e2e" unless given).
source "$(dirname "${BASH_SOURCE[0]}")/screen_lib.sh" "$1" "${2:-e2e}"
# The product's settings are imported afresh: a test that changes them may
# have ended before putting them back.
rm -f "$WINEPREFIX/.cv-product.reg"
"$ROOT/standins/install-product.sh" "$WINEPREFIX" "$BUILD/bin" >/dev/null 2>&1
TEMP_DIR=$WINEPREFIX/drive_c/users/$(whoami)/Temp
mkdir -p "$TEMP_DIR"
cd "$WINEPREFIX/drive_c"

fail() { echo "FAIL: $*"; exit 1; }

# collect OUTFILE [ARGS...]: runs the collector with its output in OUTFILE
# (no console) and prints its full exit code, read on the Windows side.
collect() {
  local out=$1; shift
  wine cmd /c "P:\\CvDiagReport.exe $* & echo EXIT=%ERRORLEVEL%" >"$out" 2>/dev/null || true
  grep -ao 'EXIT=-\?[0-9]*' "$out" | tail -n 1 | cut -d= -f2
}

work_folders() { ls -d "$TEMP_DIR"/CvDiagInfo_* 2>/dev/null || true; }
# new_folder BEFORE: the working folder that is not in the list BEFORE.
new_folder() { comm -13 <(echo "$1") <(work_folders) | tail -n 1; }

product_reg() { wine reg "$@" >/dev/null 2>&1; }
