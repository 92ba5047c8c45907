#!/usr/bin/env bash
# Rewrites the golden traces of the bundled scenes from boxsim-sim:
# <scene>.dump100.txt (the dump file of the first 100 steps) and
# <scene>.hash250.txt (the state hash after 250 steps).
# Use a normal build, never a sanitizer one, and review the difference: a
# change here is a change of the simulation's results.
#   tests/data/update_goldens.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: update_goldens.sh BUILD_DIR}
sim=$(realpath "$build/tools/boxsim-sim")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
for scene in default stack pile; do
  "$sim" "$source_dir/scenes/$scene.txt" --steps 100 > /dev/null
  cp dump0.txt "$here/$scene.dump100.txt"
  "$sim" "$source_dir/scenes/$scene.txt" --steps 250 | tail -n 1 | awk '{print $2}' \
    > "$here/$scene.hash250.txt"
  echo "$scene: $(cat "$here/$scene.hash250.txt")"
done
