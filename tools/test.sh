#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: every test in the
# AddressSanitizer+UndefinedBehaviorSanitizer build, the ThreadSanitizer build (tests labelled
# "threads"), the Windows cross-build under Wine with the Qt parts compiled for Windows, and the
# Debian package's round trip. Prints each stage's time at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/configure.sh

stage_names=()
stage_seconds=()
current_stage=
run_start=$SECONDS
stage() {
  local name=$1 start=$SECONDS
  shift
  current_stage=$name
  echo "== $name"
  "$@"
  stage_names+=("$name")
  stage_seconds+=($((SECONDS - start)))
  current_stage=
}
print_stage_times() {
  local status=$?
  echo "== stage times"
  for i in "${!stage_names[@]}"; do
    printf '  %-40s %5d s\n' "${stage_names[$i]}" "${stage_seconds[$i]}"
  done
  if [ -n "$current_stage" ]; then printf '  %-40s failed\n' "$current_stage"; fi
  printf '  %-40s %5d s (%d min)\n' "whole run" $((SECONDS - run_start)) $(((SECONDS - run_start) / 60))
  exit $status
}
trap print_stage_times EXIT

stage "packages" tools/install-deps.sh

export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1
jobs=$(nproc)

# Only the targets ctest runs (selected by `ctest -N` arguments, e.g. -L threads), with what they
# need: the sanitizer builds leave out what they do not test.
build_tests() {
  local dir=$1 selection=$2
  shift 2
  tovix_configure "$dir" "$@"
  local targets
  # shellcheck disable=SC2086
  targets=$(ctest --test-dir "$dir" -N $selection | sed -n 's/^ *Test *#[0-9]*: \([A-Za-z0-9_]*\)$/\1/p')
  # shellcheck disable=SC2086
  cmake --build "$dir" -j "$jobs" --target $targets
}
# The sanitizer builds: optimised as their documentation advises (-O1), with line tables (all
# their reports need) and with assertions; full debug information at -O2 doubled their compile
# time. Every test runs in the AddressSanitizer build, which is the test run of a plain build
# with memory checks added: a separate unchecked build of the same tests found nothing more and
# cost a third of the whole run. The package stage builds the program as users get it.
# The libraries and the program compile in batches of files (unity build): each batch reads the
# shared headers and instantiates their templates once, which halves their compile time; test
# files keep one object each, with their precompiled header.
sanitizer_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" -DCMAKE_UNITY_BUILD=ON)

stage "ASan+UBSan build (every test)" build_tests build/asan "" "${sanitizer_flags[@]}" -DTOVIX_SANITIZE_ADDRESS=ON
stage "ASan+UBSan tests" env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --test-dir build/asan -j "$jobs"

stage "TSan build (threads tests)" build_tests build/tsan "-L threads" "${sanitizer_flags[@]}" \
  -DTOVIX_SANITIZE_THREAD=ON -DTOVIX_WITH_QT=OFF
# TSan's shadow memory needs the classic address-space layout on kernels with high mmap entropy.
stage "TSan tests" env TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$(pwd)/tools/tsan.supp" \
  setarch "$(uname -m)" -R ctest --test-dir build/tsan -L threads -j "$jobs"

stage "Windows cross-build, shell, Wine" tools/windows-check.sh

sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
stage "Debian package round trip" "${sudo[@]}" tools/package-check.sh
