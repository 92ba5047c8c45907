#!/usr/bin/env bash
# What the window tells the players: the status overlay in the top left
# corner, hidden and shown with h, the help in the top right with ?, and each
# player's own box in orange with the other player's in violet, on the host's
# screen and on the client's, each its own box.
set -euo pipefail

: "${BOXSIM_SOURCE_DIR:?BOXSIM_SOURCE_DIR must name the source folder}"
# shellcheck source=tests/sh/window_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/window_lib.sh"
rm -rf host client
mkdir host client
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

start_xvfb
host_display=$DISPLAY
pids+=("$xvfb_pid")
start_xvfb
client_display=$DISPLAY
pids+=("$xvfb_pid")
hold_port_lock

window_on() { DISPLAY=$1 xdotool search --name '^Test$' | head -n 1; }
# shot DISPLAY FILE: the window on DISPLAY as "x y r g b" lines in FILE.
shot() {
  DISPLAY=$1 screenshot "$(window_on "$1")" "$2.png"
  pixels "$2.png" >"$2"
}
# Text pixels (white) in a rectangle: count FILE X0 Y0 X1 Y1.
white_in() {
  awk -v x0="$2" -v y0="$3" -v x1="$4" -v y1="$5" '$1 >= x0 && $1 < x1 && $2 >= y0 && $2 < y1 &&
    $3 > 230 && $4 > 230 && $5 > 230 { c++ } END { print c + 0 }' "$1"
}
# Pixels of the own colour (orange) or the other player's (violet): their
# count and mean x, as "COUNT X".
orange() { awk '$3 > $4 + 50 && $4 > $5 + 30 { c++; x += $1 } END { print c + 0, c ? int(x / c) : -1 }' "$1"; }
violet() {
  awk '$3 > $4 + 50 && $5 > $4 + 50 && ($3 - $5) < 60 && ($5 - $3) < 60 { c++; x += $1 }
    END { print c + 0, c ? int(x / c) : -1 }' "$1"
}
near() { (($1 - $2 < 15 && $2 - $1 < 15)); }

(cd host && DISPLAY=$host_display exec "$BOXSIM_BIN" h "$BOXSIM_SOURCE_DIR/scenes/default.txt" \
  --no-dump >out.txt 2>err.txt) &
pids+=("$!")
wait_until 20 window_on "$host_display" || fail "host window did not open"
DISPLAY=$host_display xdotool windowmove "$(window_on "$host_display")" 0 0 \
  mousemove --window "$(window_on "$host_display")" 400 300
sleep 1

# Alone: the status in the top left, no help; the own box orange, no violet.
shot "$host_display" alone
text=$(white_in alone 0 0 450 140)
((text > 300)) || fail "only $text text pixels in the status corner"
[[ $(white_in alone 450 0 800 250) == 0 ]] || fail "help shown before ? was pressed"
read -r n host_own_x < <(orange alone)
((n > 100)) || fail "only $n pixels of the own colour on the host"
read -r n _ < <(violet alone)
[[ $n == 0 ]] || fail "$n violet pixels with no other player"

# h hides the status and shows it again; ? shows the help.
DISPLAY=$host_display xdotool key h sleep 0.4
shot "$host_display" hidden
[[ $(white_in hidden 0 0 800 600) == 0 ]] || fail "text left after h"
DISPLAY=$host_display xdotool key h key question sleep 0.4
shot "$host_display" help
text=$(white_in help 0 0 450 140)
((text > 300)) || fail "status not back after a second h ($text pixels)"
text=$(white_in help 450 0 800 250)
((text > 300)) || fail "only $text help pixels after ?"
DISPLAY=$host_display xdotool key question

# A client joins: on each screen the own box is orange and the other's violet,
# so the host's orange box is the client's violet one and the other way round.
(cd client && DISPLAY=$client_display exec "$BOXSIM_BIN" c 127.0.0.1 --no-dump \
  >out.txt 2>err.txt) &
pids+=("$!")
wait_until 20 grep -q '^Received sync at ' client/out.txt || fail "client got no scene"
wait_until 20 window_on "$client_display" || fail "client window did not open"
DISPLAY=$client_display xdotool windowmove "$(window_on "$client_display")" 0 0
sleep 1
shot "$host_display" host_view
shot "$client_display" client_view
((text = $(white_in client_view 0 0 450 140), text > 300)) || fail "no status on the client"
read -r n host_own_x < <(orange host_view)
((n > 100)) || fail "host: $n own-colour pixels"
read -r n host_other_x < <(violet host_view)
((n > 100)) || fail "host: $n violet pixels with a client connected"
read -r n client_own_x < <(orange client_view)
((n > 100)) || fail "client: $n own-colour pixels"
read -r n client_other_x < <(violet client_view)
((n > 100)) || fail "client: $n violet pixels"
near "$host_own_x" "$client_other_x" || fail "host's box at x $host_own_x, violet on the client at $client_other_x"
near "$client_own_x" "$host_other_x" || fail "client's box at x $client_own_x, violet on the host at $host_other_x"
! near "$host_own_x" "$client_own_x" || fail "both screens highlight the same box as their own"

echo "overlay and player colours: ok"
