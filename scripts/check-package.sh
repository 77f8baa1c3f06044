#!/usr/bin/env bash
# Checks the package that scripts/package.sh built, as CI does: lintian with no
# error and no warning, the user unit (systemd-analyze verify, and its
# security score), the autostart entry (desktop-file-validate), the file list,
# the Depends against the libraries the binary links, the manual page against
# --help, and --check of the packaged binary against simulated devices and a
# machine without BlueZ.
#
# Usage: scripts/check-package.sh [--install]
#   --install  also installs the package with apt, checks what its maintainer
#              scripts did (rule in place, unit enabled for every user), then
#              removes it and checks that both are undone. Needs root and
#              changes the system: for CI machines, not for a desktop.
set -euo pipefail
cd "$(dirname "$0")/.."

install=0
case "${1:-}" in
  "") ;;
  --install) install=1 ;;
  *)
    echo "usage: scripts/check-package.sh [--install]" >&2
    exit 2
    ;;
esac

failures=0
step() { echo "== $*"; }
bad() {
  echo "check-package: FAILED: $*" >&2
  failures=$((failures + 1))
}

version=$(scripts/package-version.sh)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
deb=dist/orvex-bridge_${version}_${arch}.deb
[ -f "$deb" ] || {
  echo "check-package: $deb is missing; run scripts/package.sh first" >&2
  exit 1
}
[ "$(ls dist)" = "$(basename "$deb")" ] || bad "dist/ holds more than $deb: $(ls dist | tr '\n' ' ')"

work=$(mktemp -d)
bridge_pid=""
cleanup() {
  if [ -n "$bridge_pid" ]; then kill "$bridge_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
root=$work/root
dpkg-deb -x "$deb" "$root"
bin=$root/usr/bin/orvex-bridge
unit=usr/lib/systemd/user/orvex-bridge.service
entry=etc/xdg/autostart/orvex-bridge.desktop

step "lintian"
# The overrides the package carries are listed, each with its reason.
if ! lintian --fail-on error,warning --show-overrides "$deb"; then bad "lintian"; fi

step "file list"
expected="./$entry
./usr/bin/orvex-bridge
./$unit
./usr/lib/udev/rules.d/70-orvex-bridge.rules
./usr/share/doc/orvex-bridge/changelog.Debian.gz
./usr/share/doc/orvex-bridge/copyright
./usr/share/lintian/overrides/orvex-bridge
./usr/share/man/man1/orvex-bridge.1.gz"
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
if [ "$actual" != "$(sort <<<"$expected")" ]; then
  bad "file list differs:"
  diff <(sort <<<"$expected") <(echo "$actual") >&2 || true
fi
cmp -s "$root/usr/lib/udev/rules.d/70-orvex-bridge.rules" packaging/udev/70-orvex-bridge.rules ||
  bad "the packaged udev rule is not packaging/udev/70-orvex-bridge.rules"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || bad "the package version is not $version"

step "Depends: exactly the libraries the binary links"
# The package of every library the binary needs, found on this machine,
# independently of how debhelper computed the field.
needed=()
for soname in $(objdump -p "$bin" | awk '$1 == "NEEDED" {print $2}'); do
  # Read to the end: a reader that stops early breaks the pipe, which
  # pipefail would take for a failure.
  path=$(ldconfig -p | awk -v s="$soname" '$1 == s && /x86-64/ && !found {print $NF; found = 1}')
  owner=""
  for candidate in "$path" "${path#/usr}" "/usr$path"; do
    owner=$(dpkg -S "$candidate" 2>/dev/null | awk -F: 'NR == 1 {print $1}') && [ -n "$owner" ] && break
  done
  [ -n "$owner" ] || bad "no package owns $soname ($path)"
  needed+=("$owner")
done
# init-system-helpers: the maintainer scripts' deb-systemd-helper --user.
want=$(printf '%s\n' "${needed[@]}" init-system-helpers | sort -u)
have=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/(.*//; s/ //g' | grep -v '^$' | sort -u)
echo "Depends: $(dpkg-deb -f "$deb" Depends)"
if [ "$want" != "$have" ]; then
  bad "Depends differs from the linked libraries' packages:"
  diff <(echo "$want") <(echo "$have") >&2 || true
fi

step "user unit"
grep -qx 'ExecStart=/usr/bin/orvex-bridge --wait-for-port $ORVEX_BRIDGE_OPTIONS' "$root/$unit" || bad "ExecStart does not name /usr/bin/orvex-bridge with --wait-for-port"
grep -qx 'ConditionUser=!@system' "$root/$unit" || bad "the unit would start for system accounts"
# systemd-analyze wants the binary where ExecStart names it: a copy of the
# unit names the unpacked one (--install verifies the installed unit too).
mkdir -p "$work/run" && chmod 700 "$work/run"
verify=$work/orvex-bridge.service
sed "s|/usr/bin/orvex-bridge|$bin|" "$root/$unit" >"$verify"
if ! XDG_RUNTIME_DIR=$work/run MANPATH=$root/usr/share/man systemd-analyze verify --user "$verify"; then
  bad "systemd-analyze verify"
fi
XDG_RUNTIME_DIR=$work/run systemd-analyze security --user --offline=true "$verify" | tail -n 1

step "autostart entry"
if ! desktop-file-validate "$root/$entry"; then bad "desktop-file-validate"; fi
grep -qx 'X-systemd-skip=true' "$root/$entry" || bad "the autostart entry would start a second bridge where systemd runs it"

step "manual page and README against --help"
if [ -n "$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/orvex-bridge.1.gz" 2>&1 >/dev/null)" ]; then
  bad "man reports warnings on the manual page"
fi
man_text=$(zcat "$root/usr/share/man/man1/orvex-bridge.1.gz" | sed 's/\\-/-/g')
for option in $("$bin" --help | grep -oE '^  (-[a-z],)?--[a-z][a-z-]*' | sed 's/.*--/--/'); do
  grep -qE -- "(^|[^a-z-])$option([^a-z-]|$)" <<<"$man_text" || bad "the manual page lacks $option"
  case $option in
    --help | --version) grep -qF -- "[$option]" README.md || bad "README's synopsis lacks $option" ;;
    *) grep -qF -- "| \`$option" README.md || bad "README's command-line table lacks $option" ;;
  esac
done

step "--check of the packaged binary"
scenario=sim/scenarios/ble.json
runtime=$work/run
XDG_RUNTIME_DIR=$runtime "$bin" --simulate "$scenario" --port 0 --verbose >"$work/bridge.out" 2>"$work/bridge.err" &
bridge_pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on 127.0.0.1 port \([0-9]*\).*/\1/p' "$work/bridge.err")
  [ -n "$port" ] && break
  sleep 0.1
done
if [ -z "$port" ]; then
  bad "the packaged bridge did not start: $(cat "$work/bridge.err")"
else
  if XDG_RUNTIME_DIR=$runtime "$bin" --check --simulate "$scenario" --port "$port" >"$work/check.txt"; then
    grep -q '^result: everything needed works$' "$work/check.txt" || bad "--check: no result line"
  else
    bad "--check beside a simulated bridge: status $?"
    cat "$work/check.txt" >&2
  fi
  XDG_RUNTIME_DIR=$runtime "$bin" --check --json --simulate "$scenario" --port "$port" |
    python3 -c 'import json, sys; r = json.load(sys.stdin); sys.exit(0 if r["ok"] and r["bridge"]["running"] else 1)' ||
    bad "--check --json beside a simulated bridge"
fi
kill "$bridge_pid" && wait "$bridge_pid" || bad "the packaged bridge did not exit 0 on SIGTERM"
bridge_pid=""
set +e
DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-bus XDG_RUNTIME_DIR=$runtime "$bin" --check --port 0 >"$work/nobluez.txt"
status=$?
set -e
[ "$status" -eq 1 ] || bad "--check without BlueZ nor bridge: status $status, not 1"
grep -q "^BLE (BlueZ at unix:path=$work/no-bus): not answering: " "$work/nobluez.txt" ||
  bad "--check without BlueZ: no line saying so"

if [ "$install" -eq 1 ]; then
  step "install, then remove"
  wants=/etc/systemd/user/graphical-session.target.wants/orvex-bridge.service
  apt_get() { apt-get -o DPkg::Lock::Timeout=600 -y -q "$@"; }
  apt_get install "./$deb"
  [ -x /usr/bin/orvex-bridge ] || bad "installed: no /usr/bin/orvex-bridge"
  [ -L "$wants" ] || bad "installed: the unit is not enabled for every user ($wants)"
  [ "$(systemctl --global is-enabled orvex-bridge.service 2>&1)" = "enabled" ] || bad "installed: systemctl --global is-enabled"
  XDG_RUNTIME_DIR=$runtime systemd-analyze verify --user "/$unit" || bad "installed: systemd-analyze verify"
  # No bridge runs and no device is plugged in: status 1, but the rule is found.
  XDG_RUNTIME_DIR=$runtime orvex-bridge --check --port 0 >"$work/installed.txt" || true
  grep -q "^udev rule 70-orvex-bridge.rules: installed in /usr/lib/udev/rules.d" "$work/installed.txt" ||
    bad "installed: --check does not find the udev rule"
  apt_get remove orvex-bridge
  [ ! -e /usr/lib/udev/rules.d/70-orvex-bridge.rules ] || bad "removed: the udev rule is still there"
  [ ! -L "$wants" ] || bad "removed: the unit is still enabled ($wants)"
  # A removed package that is installed again is enabled again.
  apt_get install "./$deb"
  [ -L "$wants" ] || bad "installed again: the unit is not enabled for every user"
  apt_get purge orvex-bridge
  [ ! -e /etc/xdg/autostart/orvex-bridge.desktop ] || bad "purged: the autostart entry is still there"
  [ ! -L "$wants" ] || bad "purged: the unit is still enabled ($wants)"
fi

if [ "$failures" -gt 0 ]; then
  echo "check-package: $failures check(s) failed" >&2
  exit 1
fi
echo "check-package: all checks passed"
