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
# Crash dumps of the collector that an earlier, failed run left: the dump
# search would list them.
rm -f "$TEMP_DIR"/CvDiagReport-*.dmp
cd "$WINEPREFIX/drive_c"

fail() { echo "FAIL: $*"; exit 1; }

# exit_code OUTFILE COMMAND-LINE: runs a Windows command line in cmd with its
# output in OUTFILE (no console) and prints its full exit code, read on the
# Windows side.
exit_code() {
  bounded 300 "cmd running $2" wine cmd /c "$2 & echo EXIT=%ERRORLEVEL%" >"$1" 2>/dev/null || true
  grep -ao 'EXIT=-\?[0-9]*' "$1" | tail -n 1 | cut -d= -f2
}

# collect OUTFILE [ARGS...]: the same for the collector (the Windows path
# $PROGRAM, else the built one).
collect() {
  local out=$1; shift
  exit_code "$out" "${PROGRAM:-P:\\CvDiagReport.exe} $*"
}

work_folders() { ls -d "$TEMP_DIR"/CvDiagInfo_* 2>/dev/null || true; }
# new_folder BEFORE: the working folder that is not in the list BEFORE.
new_folder() { comm -13 <(echo "$1") <(work_folders) | tail -n 1; }

product_reg() { wine reg "$@" >/dev/null 2>&1; }
