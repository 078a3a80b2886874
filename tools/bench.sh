#!/usr/bin/env bash
# Builds optimised and runs every benchmark program under bench/; each prints its figures as
# ratios against the baseline it names, measured side by side in one run.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOVIX_BUILD_BENCH=ON -DTOVIX_BUILD_TESTS=ON
cmake --build build/bench -j "$(nproc)"
shopt -s nullglob
ran=0
for program in build/bench/bin/bench_*; do
  [ -x "$program" ] || continue
  echo "== $(basename "$program")"
  "$program"
  ran=$((ran + 1))
done
echo "benchmarks run: $ran"
