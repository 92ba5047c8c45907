#!/usr/bin/env bash
# Two headless peers through the fault relay: a 250 ms round trip with
# +-50 ms jitter, 5 % loss, some duplicates and reordering, 60 s of seeded
# random keys on both sides. Every step that both dumps hold agrees, and no
# checksum ever differs.
source "$(dirname "${BASH_SOURCE[0]}")/peer_lib.sh"
take_ports 5211 2
scene=$BOXSIM_SOURCE_DIR/scenes/default.txt
random_keys 11 60 host.keys
random_keys 12 60 client.keys

start_relay --listen 5212 --to 5211 --delay 125 --jitter 50 --drop 0.05 --dup 0.02 \
  --reorder 0.02 --seed 5
start_peer host --host "$scene" --port 5211 --keys ../host.keys --seconds 67
sleep 0.5
start_peer client --connect 127.0.0.1 --port 5212 --keys ../client.keys --seconds 66
finish_peer client
finish_peer host
kill "$relay_pid"

grep -q 'Connection to 127.0.0.1:5212 succeeded' client/out.txt || fail "client did not connect"
read_agreement host
((differed == 0 && agreed >= 35)) || fail "host: $agreed checks agreed, $differed differed"
read_agreement client
((differed == 0 && agreed >= 35)) || fail "client: $agreed checks agreed, $differed differed"
[[ $(grep -c 'Received new input' host/out.txt) -ge 40 ]] || fail "too few key changes arrived"
MIN_STEPS=1200 compare_dumps host/dump0.txt client/dump1.txt "$(sync_step client)"
sleep 0.2
cat relay.txt
echo "latency and loss: ok"
