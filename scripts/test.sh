#!/usr/bin/env bash
# Sets up a fresh Debian machine if needed, then builds and runs every test in
# two configurations: the normal build and one under AddressSanitizer and
# UndefinedBehaviorSanitizer. A third build takes the one-at-a-time paths
# where the detector would use two lanes, and runs the tests that compare
# result bits. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build_dir.sh

bash scripts/deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
status=0
for config in release sanitize one_lane; do
  dir="$BOXSIM_BUILD_ROOT/$config"
  opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBOXSIM_WERROR=ON)
  targets=()
  only=()
  [[ $config == sanitize ]] && opts+=(-DBOXSIM_SANITIZE=ON -DBOXSIM_BENCH=OFF)
  if [[ $config == one_lane ]]; then
    opts+=(-DBOXSIM_ONE_LANE=ON -DBOXSIM_BENCH=OFF -DBOXSIM_WINDOW=OFF)
    targets=(--target test_collision test_equivalence test_simulation)
    only=(-R 'Detector|Spheres|EquivalenceTest|CrowdsMatch|AxisSearchTest|SimulationTest')
  fi
  echo "== $config build in $dir"
  cmake -S . -B "$dir" "${opts[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs" "${targets[@]}"
  echo "== $config tests"
  if ! ctest --test-dir "$dir" --output-on-failure -j"$jobs" "${only[@]}"; then
    status=1
  fi
done
exit $status
