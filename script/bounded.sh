# bounded SECONDS WHAT COMMAND [ARGS...]: runs the command and returns its
# status; one still running after SECONDS is ended, and the script fails with
# a line that says what it waited for. Sourced by the scripts that wait for
# Wine, the tools and the programs they run. In the foreground: a program
# that touches the terminal must not be stopped for it.
bounded() {
  local seconds=$1 what=$2 status=0
  shift 2
  timeout --foreground -k 10 "$seconds" "$@" || status=$?
  if [ "$status" = 124 ] || [ "$status" = 137 ]; then
    echo "FAIL: timed out after $seconds s waiting for $what" >&2
    exit 1
  fi
  return "$status"
}
