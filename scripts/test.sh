#!/usr/bin/env bash
# Sets up a fresh Debian machine if needed, then builds and runs every test in
# two configurations: the normal build and one under AddressSanitizer and
# UndefinedBehaviorSanitizer. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build_dir.sh

bash scripts/deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
status=0
for config in release sanitize; do
  dir="$BOXSIM_BUILD_ROOT/$config"
  opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBOXSIM_WERROR=ON)
  [[ $config == sanitize ]] && opts+=(-DBOXSIM_SANITIZE=ON -DBOXSIM_BENCH=OFF)
  echo "== $config build in $dir"
  cmake -S . -B "$dir" "${opts[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "== $config tests"
  if ! ctest --test-dir "$dir" --output-on-failure -j"$jobs"; then
    status=1
  fi
done
exit $status
