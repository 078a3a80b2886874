#!/usr/bin/env bash
# The Debian package round trip (root): builds the package, installs it with dpkg (apt-get
# fetches what it depends on), runs the installed program (--help; a headless start and stop
# in a network namespace of its own with a config under a temporary folder; --restore-network
# after a killed run), checks the desktop entry and the systemd unit, removes the package with
# dpkg -r and checks that nothing of it is left.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "package-check: needs root (dpkg, network namespaces)" >&2
  exit 1
fi

fail() {
  echo "package-check: FAILED: $*" >&2
  exit 1
}
installed() { dpkg-query -W -f='${Status}' tovixproxy 2>/dev/null | grep -q "install ok installed"; }
# Everything on the system named after the package, outside the places tests and builds use.
traces() { find /usr /etc /var /opt -xdev -name '*tovixproxy*' -not -path '/var/tmp/*' 2>/dev/null | sort; }

deb=$(tools/package.sh | tail -n 1)
echo "package-check: $deb"
dpkg-deb --info "$deb" | sed -n '/Depends:/p'

work=$(mktemp -d)
ns=tovix-package-$$
app_pid=
cleanup() {
  if [ -n "$app_pid" ]; then kill -KILL "$app_pid" 2>/dev/null || true; fi
  if ip netns list | grep -qw "$ns"; then
    ip netns exec "$ns" /usr/bin/tovixproxy --restore-network >/dev/null 2>&1 || true
    ip netns delete "$ns"
  fi
  if installed; then dpkg -r tovixproxy >/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

if dpkg-query -W tovixproxy >/dev/null 2>&1; then
  echo "package-check: tovixproxy was installed here; it is replaced by this build and removed afterwards"
  dpkg --purge tovixproxy >/dev/null
fi
traces >"$work/before"

# ---- install: dpkg, then apt-get for the dependencies dpkg could not satisfy
if ! dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -f -y -q --no-install-recommends >>"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dependencies could not be installed"; }
fi
installed || { cat "$work/dpkg.log"; fail "not installed"; }
dpkg -L tovixproxy >"$work/files"
unit=$(grep '/systemd/system/tovixproxy.service$' "$work/files") || fail "no systemd unit in the package"
desktop=$(grep '/applications/tovixproxy.desktop$' "$work/files") || fail "no desktop entry in the package"
grep -q '/icons/hicolor/.*/apps/tovixproxy\.' "$work/files" || fail "no icon in the package"

# ---- the installed program
if ldd /usr/bin/tovixproxy | grep "not found"; then fail "libraries missing"; fi
help=$(/usr/bin/tovixproxy --help) || fail "--help failed"
grep -q -- "--restore-network" <<<"$help" || fail "--help does not name --restore-network"
desktop-file-validate "$desktop" || fail "desktop entry invalid"
icon=$(sed -n 's/^Icon=//p' "$desktop")
grep -q "/apps/$icon\.svg$" "$work/files" || fail "desktop entry names icon '$icon', which the package lacks"
# Unit syntax, directives and the programs it runs.
systemd-analyze verify "$unit" || fail "systemd unit invalid"
for key in ExecStart ExecStopPost; do
  command=$(sed -n "s/^$key=//p" "$unit" | cut -d' ' -f1)
  [ -x "$command" ] || fail "$key runs $command, which is not installed"
done
grep -qx 'Restart=on-failure' "$unit" || fail "unit does not restart on failure"

# ---- a headless start and stop from the installed files, in a namespace of its own
ip netns add "$ns"
ip netns exec "$ns" ip link set lo up
cat >"$work/config.json" <<'JSON'
{
    "proxy_list": [{"type": "socks5", "host": "127.0.0.1", "port": 9, "username": "u", "password": "package-check-secret"}],
    "process_list": []
}
JSON
start_headless() {
  ip netns exec "$ns" /usr/bin/tovixproxy --headless --config "$work/config.json" >"$work/headless.out" 2>&1 &
  app_pid=$!
  local deadline=$((SECONDS + 60))
  until grep -q '\[状态\] 代理已启' "$work/headless.out"; do
    kill -0 "$app_pid" 2>/dev/null || { cat "$work/headless.out"; fail "headless mode ended before it started"; }
    [ $SECONDS -lt $deadline ] || { cat "$work/headless.out"; fail "headless mode did not start within 60 s"; }
    sleep 0.2
  done
}
diversion_rules() { ip netns exec "$ns" iptables-save -t raw | grep -c NFQUEUE || true; }

start_headless
[ "$(diversion_rules)" -gt 0 ] || fail "no diversion rules while running"
kill -TERM "$app_pid"
status=0
wait "$app_pid" || status=$?
app_pid=
[ $status -eq 0 ] || { cat "$work/headless.out"; fail "headless mode ended with $status on SIGTERM"; }
grep -q '\[状态\] 已停' "$work/headless.out" || fail "no stop status"
[ "$(diversion_rules)" -eq 0 ] || fail "diversion rules left after a clean stop"
[ -s "$work/tovixproxy.log" ] || fail "no log file beside the config"
if grep -q package-check-secret "$work/headless.out" "$work/tovixproxy.log"; then fail "password in the output or log"; fi

# A killed run leaves its rules; --restore-network (the unit's ExecStopPost) removes them.
start_headless
kill -KILL "$app_pid"
wait "$app_pid" 2>/dev/null || true
app_pid=
[ "$(diversion_rules)" -gt 0 ] || fail "the killed run left no rules to restore (test is void)"
restored=$(ip netns exec "$ns" /usr/bin/tovixproxy --restore-network) || fail "--restore-network failed"
echo "package-check: $restored"
grep -q "已清除" <<<"$restored" || fail "--restore-network did not say what it removed"
[ "$(diversion_rules)" -eq 0 ] || fail "--restore-network left diversion rules"
ip netns delete "$ns"

# ---- removal leaves nothing behind
dpkg -r tovixproxy >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r failed"; }
! installed || fail "still installed after dpkg -r"
if dpkg-query -W tovixproxy >/dev/null 2>&1; then fail "dpkg still knows the package after dpkg -r"; fi
while read -r path; do
  if [ -e "$path" ] && [ ! -d "$path" ]; then fail "$path left after removal"; fi
done <"$work/files"
traces >"$work/after"
if ! diff -u "$work/before" "$work/after"; then fail "files named after the package left after removal"; fi
echo "package-check: round trip passed"
