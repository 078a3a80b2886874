#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the normal build, the
# AddressSanitizer+UndefinedBehaviorSanitizer build, the ThreadSanitizer build (tests labelled
# "threads"), and the Windows cross-build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1
jobs=$(nproc)
# A developer's machine with ccache rebuilds the three configurations from its cache.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$(pwd)")} CCACHE_NOHASHDIR=1
fi

configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "${launcher[@]}" "$@"
  cmake --build "$dir" -j "$jobs"
}

echo "== normal build"
configure_and_build build/debug -DCMAKE_BUILD_TYPE=Debug
ctest --test-dir build/debug -j "$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure_and_build build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVIX_SANITIZE_ADDRESS=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan -j "$jobs"

echo "== ThreadSanitizer (tests labelled threads)"
configure_and_build build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVIX_SANITIZE_THREAD=ON -DTOVIX_WITH_QT=OFF
# TSan's shadow memory needs the classic address-space layout on kernels with high mmap entropy.
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$(pwd)/tools/tsan.supp" \
  setarch "$(uname -m)" -R ctest --test-dir build/tsan -L threads -j "$jobs"

echo "== Windows cross-build under Wine"
tools/windows-check.sh
