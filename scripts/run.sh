#!/usr/bin/env bash
# Usage: scripts/run.sh [h SCENE | c HOST]
#
# Installs what is missing, builds, and starts boxsim: as host of SCENE, or as
# a client of HOST. With no arguments it hosts scenes/default.txt. Without a
# usable X display it says so and runs the scene headless with boxsim-sim
# instead, printing the result. The program runs in the current folder, so
# its dump file (dump0.txt for the host) lands there.
set -euo pipefail

here=$(pwd)
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

usage() {
  echo "usage: scripts/run.sh [h SCENE | c HOST]" >&2
  exit 2
}

if [[ $# -eq 0 ]]; then
  set -- h "$repo/scenes/default.txt"
fi
[[ $# -eq 2 ]] || usage
role=$1
target=$2
[[ "$role" == h || "$role" == c ]] || usage

source "$repo/scripts/build_dir.sh"
build="$BOXSIM_BUILD_ROOT/release"

bash "$repo/scripts/deps.sh"
echo "Building in $build"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target boxsim boxsim-sim >/dev/null

cd "$here"
if [[ -z "${DISPLAY:-}" ]] || ! xdpyinfo >/dev/null 2>&1; then
  if [[ "$role" == c ]]; then
    echo "No usable X display (DISPLAY='${DISPLAY:-}'); a client needs a window, so there is nothing to run."
    exit 1
  fi
  echo "No usable X display (DISPLAY='${DISPLAY:-}'); running $target headless with boxsim-sim instead."
  exec "$build/tools/boxsim-sim" "$target"
fi
exec "$build/boxsim" "$role" "$target"
