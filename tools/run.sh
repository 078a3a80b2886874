#!/usr/bin/env bash
# Builds the application and starts it. With a display it opens the window; without one (a
# server, an SSH session) it starts the same engine headless from config.json and prints the
# status, errors and traffic until Ctrl-C or SIGTERM. Arguments go to the program
# (--headless, --config FILE, --help).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

build=${TOVIX_RUN_BUILD:-build/run}
source tools/configure.sh
tovix_configure "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVIX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target tovixproxy

args=("$@")
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [[ " $* " != *" --headless "* ]]; then
  echo "run.sh: 没有图形显示，以无界面模式启动 (--headless)"
  args+=(--headless)
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "run.sh: 提示: Linux 上转发数据包需要 root 权限 (sudo tools/run.sh)"
fi
exec "$build/bin/tovixproxy" "${args[@]}"
