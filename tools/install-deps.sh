#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the Windows check need.
# Idempotent: runs apt-get update at most once, and only when something is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git ccache
  qt6-base-dev fonts-wqy-microhei xvfb xauth trayer
  libcurl4-openssl-dev libssl-dev openssl
  nlohmann-json3-dev libspdlog-dev libfmt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcpp-httplib-dev
  microsocks tinyproxy dante-server dnsmasq-base ngtcp2-client ngtcp2-server
  libnetfilter-queue-dev iptables ipset iproute2 curl tcpdump
  g++-mingw-w64-x86-64 wine64
  dpkg-dev file librsvg2-bin desktop-file-utils systemd
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
