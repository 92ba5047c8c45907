#!/usr/bin/env bash
# Usage: scripts/screenshot.sh [HOST.png [CLIENT.png]]
#
# Makes the README's pictures: hosts scenes/default.txt in a private Xvfb
# display, joins it with a client in a second one, lets the boxes settle, and
# saves both windows with their status overlays, as docs/default-scene.png
# and docs/client-side.png (or the names given).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
host_out=$(realpath -m "${1:-$repo/docs/default-scene.png}")
client_out=$(realpath -m "${2:-$repo/docs/client-side.png}")
settle_seconds=4

source "$repo/scripts/build_dir.sh"
build="$BOXSIM_BUILD_ROOT/release"
bash "$repo/scripts/deps.sh"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target boxsim >/dev/null

# The window tests' helpers: private displays, the port lock, screenshots.
work=$(mktemp -d)
export BOXSIM_BIN="$build/boxsim" BOXSIM_SCRATCH="$work"
# shellcheck source=tests/sh/window_lib.sh
source "$repo/tests/sh/window_lib.sh"
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"' EXIT

window_on() { DISPLAY=$1 xdotool search --name '^Test$' | head -n 1; }

start_xvfb
host_display=$DISPLAY
pids+=("$xvfb_pid")
start_xvfb
client_display=$DISPLAY
pids+=("$xvfb_pid")
hold_port_lock
mkdir "$work/host" "$work/client"
(cd "$work/host" && DISPLAY=$host_display exec "$BOXSIM_BIN" h "$repo/scenes/default.txt" >out.txt) &
pids+=("$!")
wait_until 20 window_on "$host_display" || fail "host window did not open"
(cd "$work/client" && DISPLAY=$client_display exec "$BOXSIM_BIN" c 127.0.0.1 >out.txt) &
pids+=("$!")
wait_until 20 grep -q '^Received sync at ' "$work/client/out.txt" || fail "client got no scene"
wait_until 20 window_on "$client_display" || fail "client window did not open"
for d in "$host_display" "$client_display"; do
  DISPLAY=$d xdotool windowmove "$(window_on "$d")" 0 0
done
sleep "$settle_seconds"
mkdir -p "$(dirname "$host_out")" "$(dirname "$client_out")"
DISPLAY=$host_display screenshot "$(window_on "$host_display")" "$host_out"
DISPLAY=$client_display screenshot "$(window_on "$client_display")" "$client_out"
echo "Wrote $host_out and $client_out"
