#!/usr/bin/env bash
# Keys under a real window: holding w pushes the host's body along -y; space
# pauses the stepping and a second space resumes it. dump0.txt records what ran.
# shellcheck source=tests/sh/window_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/window_lib.sh"
start_xvfb
hold_port_lock

# Four bodies falling freely, far apart: no contact changes their motion, and
# their records fill the dump's buffer (flushed only when full) quickly.
write_scene falling.txt \
  "1 2 2 2 player 0 0 0 0 0 0 0 1 0 0 0 0 0 0" \
  "1 2 2 2 b1 0 20 0 0 0 0 0 1 0 0 0 0 0 0" \
  "1 2 2 2 b2 0 0 20 0 0 0 0 1 0 0 0 0 0 0" \
  "1 2 2 2 b3 0 20 20 0 0 0 0 1 0 0 0 0 0 0"

dump_size() {
  stat -c %s dump0.txt 2>/dev/null || echo 0
}

rm -f dump0.txt
start_app h falling.txt
wid=$(wait_window)
xdotool mousemove --window "$wid" 400 300

# Holding w for one second.
xdotool keydown w sleep 1 keyup w sleep 0.5

# Space pauses: once the last frames are done, the file stops growing.
xdotool key space
sleep 0.5
paused_size=$(dump_size)
sleep 2
[[ $(dump_size) -eq $paused_size ]] || fail "dump grew while paused"
pid_ended "$app_pid" && fail "program ended while paused"

# A second space resumes.
xdotool key space
wait_until 10 bash -c "[[ \$(stat -c %s dump0.txt) -gt $paused_size ]]" ||
  fail "dump did not grow after resuming"

quit_app q

# The push: body0 moved along -y only, and its records show the flag set and
# cleared again.
IFS=, read -r x y _ <<<"$(awk '$1 == "body0" { in0 = 1; next } /^ body/ { in0 = 0 }
  in0 && $1 == "pos" { last = $2 } END { print last }' dump0.txt)"
awk -v x="$x" -v y="$y" 'BEGIN { exit !(x == 0 && y < -1) }' ||
  fail "body0 ended at x=$x y=$y; expected x=0 and y below -1"
grep -q '^ p0input: 1,0,0,0$' dump0.txt || fail "no record with forward held"
[[ $(grep '^ p0input: ' dump0.txt | tail -n 1) == " p0input: 0,0,0,0" ]] ||
  fail "forward still held in the last record"

# Steps are numbered without gaps across the pause.
awk '$1 == "t:" { if (seen && $2 != prev && $2 != prev + 1) bad = 1; prev = $2; seen = 1 }
  END { exit bad }' dump0.txt || fail "step numbers in the dump have a gap"

echo "keys: ok"
