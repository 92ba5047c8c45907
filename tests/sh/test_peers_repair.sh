#!/usr/bin/env bash
# A deliberate divergence: the client moves its body by one bit at a chosen
# step. Both sides detect it within 2 s, the host's repair restores agreement
# within 5 s, and every check and every step after the repair agrees.
source "$(dirname "${BASH_SOURCE[0]}")/peer_lib.sh"
take_ports 5231 2
scene=$BOXSIM_SOURCE_DIR/scenes/default.txt
# Keys after the repair: the repaired peers go on rewinding and agreeing.
printf '9 d down\n10 d up\n11 w down\n12 w up\n' >host.keys
printf '9.5 a down\n10.5 a up\n11.2 s down\n12.4 s up\n' >client.keys

start_relay --listen 5232 --to 5231 --delay 40 --jitter 10 --drop 0.02 --seed 9
start_peer host --host "$scene" --port 5231 --keys ../host.keys --seconds 17
sleep 0.5
start_peer client --connect 127.0.0.1 --port 5232 --keys ../client.keys --seconds 16 --nudge 120
finish_peer client
finish_peer host
kill "$relay_pid"

# The wall-clock stamp of the first line matching $2 in $1/out.txt.
when() { grep -m 1 -- "$2" "$1/out.txt" | cut -d ' ' -f 1; }
nudged=$(when client 'Nudged body 1 at step')
[[ -n $nudged ]] || fail "the client did not nudge"
for side in host client; do
  seen=$(when $side 'Desync detected at step')
  [[ -n $seen ]] || fail "$side did not detect the divergence"
  awk -v a="$nudged" -v b="$seen" 'BEGIN { exit !(b - a <= 2) }' ||
    fail "$side detected it $(awk -v a="$nudged" -v b="$seen" 'BEGIN { print b - a }') s late"
  grep -q 'Desync detected at step [0-9]*: body 1 is the first that differs' $side/out.txt ||
    fail "$side did not name body 1"
  echo "$side: detected $(awk -v a="$nudged" -v b="$seen" 'BEGIN { printf "%.2f", b - a }') s after the nudge"
done
repaired=$(when client 'Repaired: took the host')
[[ -n $repaired ]] || fail "the client took no repair"
awk -v a="$nudged" -v b="$repaired" 'BEGIN { exit !(b - a <= 5) }' || fail "repaired too late"
echo "client: repaired $(awk -v a="$nudged" -v b="$repaired" 'BEGIN { printf "%.2f", b - a }') s after the nudge"
repair_step=$(sed -n 's/.*Repaired: took the host.s state at step \([0-9]*\) .*/\1/p' client/out.txt)

for side in host client; do
  read_agreement $side
  ((repairs == 1)) || fail "$side: $repairs repairs, want 1"
  ((agreed >= 8)) || fail "$side: only $agreed checks agreed"
  # Only the checks between the nudge and the repair may differ.
  awk -v r="$repair_step" '/Desync detected at step/ {
      s = $0; sub(/.*at step /, "", s); sub(/:.*/, "", s); if (s + 0 > r) exit 1 }' \
    $side/out.txt || fail "$side found a divergence after the repair"
done
MIN_STEPS=150 compare_dumps host/dump0.txt client/dump1.txt "$repair_step"
echo "repair: ok"
