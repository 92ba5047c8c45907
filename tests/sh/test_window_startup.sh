#!/usr/bin/env bash
# Start-up failures: the window opens first, then a bad command line or scene
# ends the program with its messages on standard output and status 255.
# None of these cases gets as far as binding the network port.
# shellcheck source=tests/sh/window_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/window_lib.sh"
start_xvfb

# Runs the program with the given arguments and checks its status and its
# standard output, line for line.
expect_failure() {
  local expected=$1
  shift
  local status=0
  timeout 30 "$BOXSIM_BIN" "$@" >out.txt 2>err.txt || status=$?
  [[ $status -eq 255 ]] || fail "boxsim $*: exit status $status, expected 255 ($(cat err.txt))"
  [[ "$(cat out.txt)" == "$expected" ]] ||
    fail "boxsim $*: output '$(cat out.txt)', expected '$expected'"
}

failed="Failed to initialise!"
unknown="Unrecognized option, first argument must be 'h' for host or 'c' for client."

# No arguments, and a role without its path.
expect_failure "$failed"
expect_failure "$failed" h

# Unknown roles: the comparison is of whole strings, case included.
for role in x H host hc; do
  expect_failure "$unknown
$failed" "$role" scene.txt
done

# A scene file that does not exist.
rm -f missing.txt
expect_failure "Scene file not found!
$failed" h missing.txt

# A scene without bodies: the host's player has nothing to push.
printf 'empty scene\n~;' >empty.txt
expect_failure "Scene file empty.txt has no bodies: the host's player needs at least one.
$failed" h empty.txt

echo "start-up failures: ok"
