#!/usr/bin/env bash
# Builds the Debian package (cpack -G DEB from the same CMake project, optimised, packaged
# layout) and prints the path of the .deb as its last line. Install it with
# `apt-get install ./build/package/package/tovixproxy_*.deb` (or dpkg -i, then apt-get -f install).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

build=${TOVIX_PACKAGE_BUILD:-build/package}
source tools/configure.sh
tovix_configure "$build" -DCMAKE_BUILD_TYPE=Release -DTOVIX_BUILD_TESTS=OFF -DTOVIX_PACKAGED=ON -DCMAKE_UNITY_BUILD=ON \
  -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
# Build output on stderr: callers read the path of the package from stdout.
cmake --build "$build" -j "$(nproc)" >&2
rm -f "$build"/package/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
shopt -s nullglob
debs=("$build"/package/*.deb)
if [ ${#debs[@]} -ne 1 ]; then
  echo "package.sh: expected one package in $build/package, found ${#debs[@]}" >&2
  exit 1
fi
realpath "${debs[0]}"
