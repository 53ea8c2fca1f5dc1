# Helpers of the screen tests: run a Windows program in a real terminal (tmux),
# wait for what it prints, look at the screen with its colours.
set -euo pipefail
BUILD=$(cd "$1" && pwd)
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/script/bounded.sh"
# A second argument names a prefix of the test's own (build/wineprefix-NAME).
export WINEPREFIX=${WINEPREFIX:-$BUILD/wineprefix${2:+-$2}}
export WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
"$ROOT/script/wine-prefix" "$WINEPREFIX" "$BUILD/bin"
# tmux needs a terminal type, which CTest and CI may not set.
[ -n "${TERM:-}" ] && [ "$TERM" != dumb ] || export TERM=xterm-256color
RUNS=0
SOCKET=cvscreen-$$-0
# Leave nothing behind: the terminal, and the prefix's processes (the shell
# window that the collector opens stays otherwise, holding our output open).
cleanup() {
  tmux -L $SOCKET kill-server >/dev/null 2>&1 || true
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND"' ERR

# run_in_terminal COMMAND-LINE [ROWS]: start a Windows command line in a fresh
# terminal of 160 columns (50 rows unless given); it runs in cmd, which prints
# EXIT=<full exit code> after it.
run_in_terminal() {
  # Each run gets a tmux server of its own: a new server on the socket of one
  # just killed may fail to start.
  tmux -L $SOCKET kill-server >/dev/null 2>&1 || true
  RUNS=$((RUNS + 1))
  SOCKET=cvscreen-$$-$RUNS
  tmux -L $SOCKET new-session -d -x 160 -y "${2:-50}" -c "$WINEPREFIX/drive_c" \
    "WINEPREFIX='$WINEPREFIX' wine cmd /c \"$1 & echo EXIT=%ERRORLEVEL%\"; sleep 600"
}

screen() { tmux -L $SOCKET capture-pane -p -J "$@"; }

# wait_for TEXT [SECONDS]: wait until the screen shows TEXT.
wait_for() {
  local i
  for ((i = 0; i < ${2:-60} * 5; i++)); do
    if screen | grep -qF -- "$1"; then return 0; fi
    sleep 0.2
  done
  echo "FAIL: timed out waiting for: $1"; echo "--- screen:"; screen; exit 1
}

keys() { tmux -L $SOCKET send-keys "$@"; }

# expect_screen TEXT: the plain screen shows TEXT (a fixed string).
expect_screen() {
  if ! screen | grep -qF -- "$1"; then
    echo "FAIL: screen lacks: $1"; echo "--- screen:"; screen; exit 1
  fi
}
# expect_colored TEXT: the screen with its escape sequences shows TEXT.
expect_colored() {
  if ! screen -e | grep -qF -- "$1"; then
    echo "FAIL: coloured screen lacks: $(printf '%q' "$1")"; echo "--- screen:"; screen -e | cat -v; exit 1
  fi
}
