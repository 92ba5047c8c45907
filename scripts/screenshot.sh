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

# The window tests' helpers: a private display, the port lock, the window.
work=$(mktemp -d)
export BOXSIM_BIN="$build/boxsim" BOXSIM_SCRATCH="$work"
# shellcheck source=tests/sh/window_lib.sh
source "$repo/tests/sh/window_lib.sh"
trap 'cleanup; rm -rf "$work"' EXIT

start_xvfb
hold_port_lock
start_app h "$repo/scenes/default.txt"
wid=$(wait_window)
sleep "$settle_seconds"
mkdir -p "$(dirname "$out")"
screenshot "$wid" "$out"
echo "Wrote $out"
