#!/usr/bin/env bash
# The entry point on a real terminal: banner, step lines, error report with its
# colours, full exit codes, the run mode and the wait for Escape.
# A prefix of its own: stopping its Wine server at the end must not end the
# unit tests that run in the shared one meanwhile.
source "$(dirname "$0")/screen_lib.sh" "$1" entry
H='P:\entry_harness.exe'

# Success with -q: banner, the step line completed by a green " ok", exit 0.
run_in_terminal "$H ok -q"
wait_for "EXIT=0"
expect_screen "Corvane Studio, Copyright (c) Meridyne. All rights reserved."
expect_screen "Diagnostic Information Collector, Version: 8.3.1406.0"
expect_screen "> Starting execution... ok"
expect_colored $'\e[92m ok'

# A CCvError: " error ", the code in red, the description on the next line;
# the exit code is the error's code (0xE600001B read as a signed number).
run_in_terminal "$H fail -Q"
wait_for "EXIT="
expect_screen "> Starting execution... ok"
expect_screen " error 0xe600001b"
expect_colored $'\e[91m0xe600001b'
expect_screen "Description: "
expect_screen "EXIT=-436207589"
if screen | grep -q "Press \[ESC\]"; then echo "FAIL: -Q must not wait"; screen; exit 1; fi

# Anything else: -1.
run_in_terminal "$H unknown -q"
wait_for "EXIT="
expect_screen " error  ? (UNKNOWN_EXCEPTION)"
expect_screen "EXIT=-1"

# A 32-bit image under WOW64 stops before the command line is read: it waits
# for Escape even with -q, and ends with 670.
run_in_terminal "$H wow -q"
wait_for "Press [ESC] for exit..."
expect_screen "> Starting execution... error 0x0000029e (ERROR_WOW_ASSERTION)"
expect_screen "Description: Launching 32-bit image of this utility on 64-bit Windows is not allowed. Please, obtain and use 64-bit image instead!"
expect_colored $'\e[91m0x0000029e (ERROR_WOW_ASSERTION)'
keys Escape
wait_for "EXIT=670"

# Without -q (and with arguments that are not -q) the tool waits; other keys
# are read and ignored; Escape completes the line with " ok".
for args in "" "/q --q -qq x"; do
  run_in_terminal "$H ok $args"
  wait_for "Press [ESC] for exit..."
  keys a b Enter q
  sleep 1
  if screen | grep -q "EXIT="; then echo "FAIL: a key other than Escape ended the wait ($args)"; screen; exit 1; fi
  keys Escape
  wait_for "EXIT=0"
  expect_screen "> Press [ESC] for exit... ok"
done
echo "screen_entry: all checks passed"
