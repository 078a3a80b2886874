#!/usr/bin/env bash
# Builds optimised and runs every benchmark program under bench/; each prints its figures as
# ratios against the baseline it names, measured side by side in one run. The Windows-only ones
# are cross-built and run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
source tools/configure.sh
tovix_configure build/bench -DCMAKE_BUILD_TYPE=Release -DTOVIX_BUILD_BENCH=ON -DTOVIX_BUILD_TESTS=ON >/dev/null
cmake --build build/bench -j "$(nproc)"
shopt -s nullglob
ran=0
for program in build/bench/bin/bench_*; do
  [ -x "$program" ] || continue
  echo "== $(basename "$program")"
  "$program"
  ran=$((ran + 1))
done

windows=$(pwd)/build/windows-bench
tovix_configure "$windows" -DCMAKE_BUILD_TYPE=Release -DTOVIX_BUILD_BENCH=ON -DTOVIX_BUILD_TESTS=ON \
  -DCMAKE_TOOLCHAIN_FILE="$(pwd)/cmake/toolchain-mingw64.cmake" >/dev/null
cmake --build "$windows" --target bench_windivert_win
source tools/wine-env.sh
tovix_wine_env "$windows"
tovix_start_wine
for program in "$windows"/bin/bench_*.exe; do
  echo "== $(basename "$program") (Wine)"
  /usr/lib/wine/wine64 "$program"
  ran=$((ran + 1))
done
tovix_stop_wine
echo "benchmarks run: $ran"
