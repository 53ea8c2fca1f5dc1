#!/usr/bin/env bash
# The exit codes of the collector, each read in full on the Windows side (cmd's
# %ERRORLEVEL%), with the error line it prints. The outcomes that the real tool
# cannot be led into come from the test build entry_harness.exe.
source "$(dirname "$0")/e2e_lib.sh" "$1"
out=/tmp/cv-exitcodes-$$.out
made=()
trap 'rm -f "$out"; rmdir "${made[@]}" 2>/dev/null || true; cleanup' EXIT

# The working folders of the next seconds, so that the run finds its own taken.
take_working_folders() {
  for s in 0 1 2 3 4; do
    local f=$TEMP_DIR/CvDiagInfo_$(date -d "+$s sec" +%Y%m%d%H%M%S)
    [ -d "$f" ] || { mkdir "$f"; made+=("$f"); }
  done
}

# exit code | text on the screen | set-up | command line
cases='0| ok|:|P:\CvDiagReport.exe -q
183| error 0x000000b7|take_working_folders|P:\CvDiagReport.exe -q
3| error 0x00000003|:|set TEMP=C:\cv-no-such-folder&& set TMP=C:\cv-no-such-folder&& P:\CvDiagReport.exe -q
-436207589| error 0xe600001b|:|P:\entry_harness.exe fail -q
-1| error  ? (UNKNOWN_EXCEPTION)|:|P:\entry_harness.exe unknown -q'

while IFS='|' read -r expected text setup command; do
  $setup
  before=$(work_folders)
  code=$(exit_code "$out" "$command")
  screen_text=$(iconv -f UTF-16LE -t UTF-8 "$out" 2>/dev/null || true)
  [ "$code" = "$expected" ] || fail "'$command' ended with $code, not $expected: $screen_text"
  grep -qF -- "$text" <<<"$screen_text" || fail "'$command' did not print '$text': $screen_text"
  if [ "$expected" != 0 ]; then
    [ -z "$(new_folder "$before")" ] || fail "'$command' left a working folder"
  fi
  rmdir "${made[@]}" 2>/dev/null || true
  made=()
  sleep 1  # the next run gets a working folder of its own
done <<<"$cases"
echo "e2e_exitcodes: all checks passed"
