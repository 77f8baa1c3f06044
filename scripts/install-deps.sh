#!/usr/bin/env bash
# Installs every Debian package that building, running and testing the bridge
# needs. Safe to run again: apt-get skips what is already there.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake ninja-build pkg-config clang lld libclang-rt-dev clang-format
  libwebsocketpp-dev libboost-dev libhidapi-dev libudev-dev libsdbus-c++-dev libsystemd-dev
  nlohmann-json3-dev libcli11-dev
  # the Debian package and its checks
  debhelper dpkg-dev lintian desktop-file-utils systemd
  # tests: GoogleTest, a private D-Bus with a fake BlueZ, a mocked udev
  libgtest-dev libgmock-dev
  dbus python3 python3-dbus python3-gi
  umockdev libumockdev0
  # the real-kernel suite: a QEMU guest built from Debian's kernel and busybox
  qemu-system-x86 busybox-static cpio
  # the other Debian release's step of the full test run, in a chroot
  debootstrap
)
# The console's browser tests: Chromium, and Node.js (Debian's, unless the
# machine already has a node and npm of its own: another packaging of Node.js
# would conflict). Left out with ORVEX_BROWSER=0, for a run that has no
# browser tests (the other release's step: npm alone is 340 packages there).
if [ "${ORVEX_BROWSER:-1}" != 0 ]; then
  PACKAGES+=(chromium)
  if ! command -v node >/dev/null || ! command -v npm >/dev/null; then PACKAGES+=(nodejs npm); fi
fi
# The Windows build (mingw-w64), its tests under Wine and its installer, only
# for the full test run and scripts/windows-test.sh (ORVEX_WINDOWS=1).
if [ "${ORVEX_WINDOWS:-0}" = 1 ]; then
  PACKAGES+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools googletest wine wine64 nsis)
fi

# The real-BlueZ suite's guests run this release's bluetoothd and tools on the
# machine's libraries: whatever libraries bluez depends on here, by this
# release's names (Debian 13's bluetoothd also links libdw). Needs the
# package lists, so it is asked again after an update.
bluez_libraries() {
  apt-cache depends --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces --no-enhances \
    bluez bluez-test-tools 2>/dev/null | awk '$1 == "Depends:" && $2 ~ /^lib/ {print $2}' | sort -u
}
mapfile -t libraries < <(bluez_libraries)
PACKAGES+=("${libraries[@]}")

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${PACKAGES[@]}"; do
  installed "$p" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Package lists fetched in the last hour will do (a second install of the
# same run, for instance, finds them fresh).
if [ -z "$(find /var/lib/apt/lists -maxdepth 1 -name '*Packages*' -mmin -60 -print -quit 2>/dev/null)" ]; then
  $SUDO apt-get update -qq
  for p in $(bluez_libraries); do
    installed "$p" || [[ " ${missing[*]} " == *" $p "* ]] || missing+=("$p")
  done
fi
# Another package manager may be running (an unattended upgrade); wait for it.
$SUDO apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}"
