#!/usr/bin/env bash
# Cross-compiles every Qt-free target and its tests for 64-bit Windows with mingw-w64 and runs
# the test executables under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${TOVIX_WINDOWS_BUILD:-$root/build/windows}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake"
cmake --build "$build"

# The mingw runtime DLLs (libstdc++, libgcc_s, libwinpthread) are found through WINEPATH.
gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
export WINEPATH="${gcc_dir};/usr/x86_64-w64-mingw32/lib"
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
fi
status=0
ctest --test-dir "$build" --output-on-failure --timeout 900 || status=$?
/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
exit $status
