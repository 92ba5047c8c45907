#!/usr/bin/env bash
# Start-up failures: the window opens first, then a bad command line or scene
# ends the program with its messages on standard output and status 255; a
# host whose port another process holds ends with status 1.
# shellcheck source=tests/sh/window_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/window_lib.sh"
start_xvfb

# expect_failure STATUS OUTPUT ARGS...: the program's exit status and its
# standard output, line for line.
expect_failure() {
  local want_status=$1 expected=$2
  shift 2
  local status=0
  timeout 30 "$BOXSIM_BIN" "$@" >out.txt 2>err.txt || status=$?
  [[ $status -eq $want_status ]] ||
    fail "boxsim $*: exit status $status, expected $want_status ($(cat err.txt))"
  [[ "$(cat out.txt)" == "$expected" ]] ||
    fail "boxsim $*: output '$(cat out.txt)', expected '$expected'"
}

failed="Failed to initialise!"
unknown="Unrecognized option, first argument must be 'h' for host or 'c' for client."

# No arguments, and a role without its path.
expect_failure 255 "$failed"
expect_failure 255 "$failed" h

# Unknown roles: the comparison is of whole strings, case included.
for role in x H host hc; do
  expect_failure 255 "$unknown
$failed" "$role" scene.txt
done

# A scene file that does not exist.
rm -f missing.txt
expect_failure 255 "Scene file not found!
$failed" h missing.txt

# A scene without bodies: the host's player has nothing to push.
printf 'empty scene\n~;' >empty.txt
expect_failure 255 "Scene file empty.txt has no bodies: the host's player needs at least one.
$failed" h empty.txt

# Dump options that cannot work.
write_scene one.txt "1 2 2 2 box 1 0 0 0 1 0 0 0"
expect_failure 255 "--dump-limit wants a number of megabytes above 0, not \"-1\".
$failed" h one.txt --dump-limit -1
mkdir -p a_folder
expect_failure 255 "Cannot write the dump file a_folder.
$failed" h one.txt --dump a_folder
expect_failure 255 "Unrecognized option --dumps; the options are --port N, --dump PATH, --no-dump and --dump-limit MB.
$failed" h one.txt --dumps

# Port 1234 held by a first host: the second cannot make its ENet host.
hold_port_lock
start_app h one.txt
xdotool mousemove --window "$(wait_window)" 400 300
expect_failure 1 "An error occurred while trying to create an ENet server host." h one.txt
quit_app q

echo "start-up failures: ok"
