#!/usr/bin/env bash
# Two headless peers, each stopped twice for 3 s (SIGSTOP, SIGCONT) while its
# script presses keys. The clock bound keeps every key change within the
# other's history: every step that both dumps hold agrees, no checksum
# differs, and the side that ran on waited at the bound.
source "$(dirname "${BASH_SOURCE[0]}")/peer_lib.sh"
take_ports 5221 2
scene=$BOXSIM_SOURCE_DIR/scenes/default.txt
random_keys 21 60 host.keys
random_keys 22 60 client.keys

start_relay --listen 5222 --to 5221 --delay 10 --jitter 5 --seed 3
start_peer host --host "$scene" --port 5221 --keys ../host.keys --seconds 67
sleep 0.5
start_peer client --connect 127.0.0.1 --port 5222 --keys ../client.keys --seconds 66
stall() {
  sleep "$2"
  kill -STOP "$1"
  sleep 3
  kill -CONT "$1"
}
(stall "$host_pid" 10; stall "$client_pid" 9; stall "$host_pid" 9; stall "$client_pid" 9) &
pids+=("$!")
finish_peer client
finish_peer host
kill "$relay_pid"

for side in host client; do
  read_agreement $side
  ((differed == 0 && agreed >= 35)) || fail "$side: $agreed checks agreed, $differed differed"
  grep -q 'Waiting for the other player' $side/out.txt || fail "$side never waited at the bound"
  grep -q 'Stopped waiting after' $side/out.txt || fail "$side never stopped waiting"
  if grep -q 'before the history' $side/out.txt; then fail "$side got a key change too late"; fi
done
MIN_STEPS=1000 compare_dumps host/dump0.txt client/dump1.txt "$(sync_step client)"
echo "stalls: ok"
