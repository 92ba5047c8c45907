#!/usr/bin/env bash
# Two players end to end: a host and a client, each a real boxsim with its
# own window (its own Xvfb display) and its own folder, over 127.0.0.1. Keys
# are pressed in both windows, some at nearly the same moment so that both
# sides rewind and replay, and once while the host's process is stopped; both
# quit with q. Host and client must then have
# computed the same steps: for every step from the client's sync on, the
# last record of that step in the host's dump0.txt equals the one in the
# client's dump1.txt.
set -euo pipefail

: "${BOXSIM_SOURCE_DIR:?BOXSIM_SOURCE_DIR must name the source folder}"
# From the windowed tests' helpers: start_xvfb (a private display, started
# under the X display start lock, with -noreset), hold_port_lock, wait_until
# and pid_ended; it checks BOXSIM_BIN and enters the scratch folder. Its trap
# and fail are replaced below.
# shellcheck source=tests/sh/window_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/window_lib.sh"
scene="$BOXSIM_SOURCE_DIR/scenes/${BOXSIM_TWO_PLAYER_SCENE:-default.txt}"
rm -rf host client
mkdir host client

pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -CONT "$p" 2>/dev/null || true; kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for f in host/out.txt host/err.txt client/out.txt client/err.txt; do
    [[ -s $f ]] && { echo "--- $f (last lines)" >&2; tail -n 5 "$f" >&2; }
  done
  exit 1
}

start_xvfb
host_display=$DISPLAY
pids+=("$xvfb_pid")
start_xvfb
client_display=$DISPLAY
pids+=("$xvfb_pid")
# Port 1234 is fixed: hold its lock while a host may run.
hold_port_lock

window_on() { DISPLAY=$1 xdotool search --name '^Test$' | head -n 1; }
# Presses or releases a key in the window of one side: the pointer stays over
# the window, and without a window manager keys go to the window under it.
host_key() { DISPLAY=$host_display xdotool "$1" "$2"; }
client_key() { DISPLAY=$client_display xdotool "$1" "$2"; }

(cd host && DISPLAY=$host_display exec "$BOXSIM_BIN" h "$scene" >out.txt 2>err.txt) &
host_pid=$!
pids+=("$host_pid")
wait_until 20 window_on "$host_display" || fail "host window did not open"

(cd client && DISPLAY=$client_display exec "$BOXSIM_BIN" c 127.0.0.1 >out.txt 2>err.txt) &
client_pid=$!
pids+=("$client_pid")
wait_until 20 grep -q '^Received sync at ' client/out.txt || fail "client got no scene"
wait_until 20 window_on "$client_display" || fail "client window did not open"
grep -q '^Connection to 127.0.0.1:1234 succeeded\.$' client/out.txt || fail "no success line"
grep -q '^A new client connected from ' host/out.txt || fail "host saw no client"
sync_step=$(sed -n 's/^Received sync at \([0-9]*\), .*/\1/p' client/out.txt | head -n 1)

DISPLAY=$host_display xdotool mousemove --window "$(window_on "$host_display")" 400 300
DISPLAY=$client_display xdotool mousemove --window "$(window_on "$client_display")" 400 300
sleep 0.5

# Both at once: the two xdotool calls run side by side, so that the two
# messages cross and each side receives the other's change after making its
# own.
both() {
  host_key "$1" "$2" &
  local h=$!
  client_key "$3" "$4" &
  wait "$h" "$!"
}

# Space pauses a side for a moment, which leaves it steps behind the other.
pause() {
  "$1" key space
  sleep 0.6
  "$1" key space
  sleep 0.2
}

# Each side alone: the receiver takes the change at once or catches up to it.
host_key keydown w; sleep 0.8
client_key keydown a; sleep 0.6
host_key keyup w; sleep 0.3
client_key keyup a; sleep 0.4
# With the client behind, crossing changes reach the host from its past: it
# rewinds over steps in which its own keys changed, and must replay them with
# the keys of their own time. Then the other way round.
for _ in 1 2; do
  pause client_key; both keydown d keydown w; sleep 0.5
  pause client_key; both keyup d keyup w; sleep 0.5
  pause host_key; both keydown s keydown d; sleep 0.5
  pause host_key; both keyup s keyup d; sleep 0.5
done
# The host's process hangs for 3 s while its player presses d: the key events
# wait in the X server's queue and arrive stamped with the host's stale step.
# The client, held at the clock bound, still has that step in its history.
kill -STOP "$host_pid"
host_key keydown d; sleep 0.5
host_key keyup d; sleep 2.5
kill -CONT "$host_pid"
wait_until 10 grep -q '^Stopped waiting after ' client/out.txt || fail "client did not wait for the host"
# Quiet time: every message arrives and is replayed before the end.
sleep 3
if grep -q 'before the history' host/out.txt client/out.txt; then fail "a key change came too late"; fi

client_key key q
# The client says goodbye as it quits: the host hears of it at once, not
# after ENet's half-minute timeout.
wait_until 3 grep -q ' disconnected\.$' host/out.txt || fail "host did not hear the client leave"
host_key key q
for side in client host; do
  pid_var=${side}_pid
  wait_until 10 pid_ended "${!pid_var}" || fail "$side did not quit"
  status=0
  wait "${!pid_var}" || status=$?
  [[ $status -eq 0 ]] || fail "$side ended with status $status"
done
[[ -s host/dump0.txt ]] || fail "host wrote no dump0.txt"
[[ -s client/dump1.txt ]] || fail "client wrote no dump1.txt"

# For each step, its last record (a replayed step is written again, later in
# the file): step number, tab, the record's lines joined with '|'.
last_records() {
  awk 'BEGIN { RS = "" }
    {
      step = ""
      k = split($0, line, "\n")
      for (i = 1; i <= k; ++i) if (line[i] ~ /^t: /) step = substr(line[i], 4)
      if (step == "") next
      rec = $0
      gsub(/\n/, "|", rec)
      last[step] = rec
    }
    END { for (s in last) print s "\t" last[s] }' "$1"
}
last_records host/dump0.txt >host.last
last_records client/dump1.txt >client.last

awk -F '\t' -v from="$sync_step" '
  NR == FNR { host[$1] = $2; next }
  { client[$1] = $2; if ($1 + 0 > cmax) cmax = $1 + 0 }
  END {
    hmax = -1
    for (s in host) if (s + 0 > hmax) hmax = s + 0
    to = hmax < cmax ? hmax : cmax
    for (s = from; s <= to; ++s) {
      if (!(s in host) || !(s in client)) { print "step " s " missing"; bad = 1; break }
      if (host[s] != client[s]) {
        print "step " s " differs:\nhost:   " host[s] "\nclient: " client[s]
        bad = 1
        break
      }
      ++same
      if (host[s] ~ /p0input: [01],[01],[01],[01]/ && host[s] !~ /p0input: 0,0,0,0/) pushed0 = 1
      if (host[s] ~ /p1input: / && host[s] !~ /p1input: 0,0,0,0/) pushed1 = 1
    }
    print same " steps agree (" from " to " to ")"
    if (!pushed0 || !pushed1) { print "the keys of both players did not show"; bad = 1 }
    if (same < 100) { print "too few steps compared"; bad = 1 }
    exit bad
  }' host.last client.last >compare.txt || {
  cat compare.txt >&2
  fail "host and client disagree"
}
cat compare.txt
echo "two players: ok"
