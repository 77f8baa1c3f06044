#!/usr/bin/env bash
# Installs every Debian package that building, running and testing the bridge
# needs. Safe to run again: apt-get skips what is already there.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  libwebsocketpp-dev libboost-dev libboost-system-dev
  libhidapi-dev libudev-dev libsdbus-c++-dev libsystemd-dev
  nlohmann-json3-dev libcli11-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  dbus python3 python3-dbus python3-dbusmock
  umockdev libumockdev-dev
  debhelper dpkg-dev lintian desktop-file-utils systemd
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
