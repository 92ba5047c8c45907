#!/usr/bin/env bash
# Usage: scripts/screenshot.sh [OUTPUT.png]
#
# Makes the README's picture: hosts scenes/default.txt in a private Xvfb
# display, lets the boxes settle, and saves the window as docs/default-scene.png
# (or OUTPUT.png).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$(realpath -m "${1:-$repo/docs/default-scene.png}")
settle_seconds=4

source "$repo/scripts/build_dir.sh"
build="$BOXSIM_BUILD_ROOT/release"
bash "$repo/scripts/deps.sh"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target boxsim >/dev/null

work=$(mktemp -d)
xvfb_pid=""
app_pid=""
cleanup() {
  if [[ -n "$app_pid" ]]; then kill "$app_pid" 2>/dev/null || true; fi
  if [[ -n "$xvfb_pid" ]]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A private display: the first free number from 90 up. Xvfb's lock file
# (created atomically, holding its pid) tells whether the server there is ours.
for n in $(seq 90 140); do
  [[ -e /tmp/.X$n-lock ]] && continue
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    if [[ "$(tr -dc 0-9 2>/dev/null <"/tmp/.X$n-lock")" == "$xvfb_pid" ]] &&
      xdpyinfo -display ":$n" >/dev/null 2>&1; then
      export DISPLAY=":$n"
      break 2
    fi
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$xvfb_pid" 2>/dev/null || true
  wait "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=""
done
[[ -n "$xvfb_pid" ]] || { echo "No free X display from :90 to :140." >&2; exit 1; }

# The host binds UDP port 1234; wait for any test that holds it.
exec 9>/tmp/boxsim-port-1234.lock
flock -w 300 9

cd "$work"
"$build/boxsim" h "$repo/scenes/default.txt" >/dev/null &
app_pid=$!
wid=""
for _ in $(seq 100); do
  wid=$(xdotool search --name '^Test$' 2>/dev/null | head -n 1) && [[ -n "$wid" ]] && break
  sleep 0.1
done
[[ -n "$wid" ]] || { echo "The window did not appear." >&2; exit 1; }
# With no window manager the window sits one pixel off screen at (-1, -1).
xdotool windowmove "$wid" 0 0
sleep "$settle_seconds"

mkdir -p "$(dirname "$out")"
xwd -silent -id "$wid" | convert xwd:- "png:$out"
echo "Wrote $out"
