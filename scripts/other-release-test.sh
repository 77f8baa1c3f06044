#!/usr/bin/env bash
# CI's step for the other Debian release (Debian 13 on a Debian 12 machine,
# Debian 12 on a Debian 13 one), in a minimal chroot that it makes with
# debootstrap from the package source this machine's apt already uses, and no
# other. In it, on a fresh copy of the tree: scripts/install-deps.sh, the
# plain build with warnings as errors, the in-process tests, the package with
# lintian and scripts/check-package.sh, and the real-kernel and real-BlueZ
# suites against that release's kernel and bluetoothd, with the packaged
# binary inside.
#
# The chroot is kept under ~/.cache/orvex-bridge/ between runs and made again
# when it is missing or was left half made. Runs as root (CI does; others
# through sudo); what it mounts it unmounts, also when a step fails or the
# run is stopped.
# Usage: scripts/other-release-test.sh [RESULTS_FOLDER]
#   RESULTS_FOLDER: the GoogleTest reports land in RESULTS_FOLDER/debianN-*/,
#   for scripts/skips.py.
set -euo pipefail
cd "$(dirname "$0")/.."
here=$PWD
results=${1:-}
say() { echo "other-release: $*"; }
fail() {
  echo "other-release: $*" >&2
  exit 1
}
# debootstrap, mount and chroot need root: through sudo when not root, as
# install-deps.sh does.
if [ "$(id -u)" -ne 0 ]; then exec sudo -- "$0" "$@"; fi

. /etc/os-release
case "${VERSION_CODENAME:-}" in
  bookworm) other=trixie number=13 ;;
  trixie) other=bookworm number=12 ;;
  *) fail "runs on Debian 12 or 13, not on ${PRETTY_NAME:-an unknown system}" ;;
esac

# This machine's Debian archives (base, updates, security), each named with
# the other release's suite: the same mirrors, nothing else.
sources=$(apt-get indextargets --format '$(TARGET_OF) $(IDENTIFIER) $(REPO_URI) $(RELEASE) $(COMPONENT)' |
  awk -v from="$VERSION_CODENAME" -v to="$other" '
    $1 == "deb" && $2 == "Packages" && ($4 == from || index($4, from "-") == 1) {
      suite = to substr($4, length(from) + 1)
      key = $3 " " suite
      if (!(key in parts)) order[++n] = key
      if (index(" " parts[key] " ", " " $5 " ") == 0) parts[key] = parts[key] " " $5
    }
    END { for (i = 1; i <= n; i++) print "deb " order[i] parts[order[i]] }')
mirror=$(awk -v suite="$other" '$3 == suite {print $2; exit}' <<<"$sources")
[ -n "$mirror" ] || fail "this machine's apt uses no Debian archive for $VERSION_CODENAME"

cache=${XDG_CACHE_HOME:-$HOME/.cache}/orvex-bridge
mkdir -p "$cache"
cache=$(realpath "$cache")
root=$cache/debian$number
# One run at a time: a second would pull the tree and the mounts from under
# the first.
exec 8>"$cache/debian$number.lock"
flock -n 8 || fail "another run uses $root"
command -v debootstrap >/dev/null || fail "debootstrap is missing; scripts/install-deps.sh installs it"
# Nothing may be removed under a mount point: that would reach into the
# machine's own /dev or /sys.
mounted_under() { awk -v dir="$1/" 'index($2 "/", dir) == 1 {found = 1} END {exit !found}' /proc/self/mounts; }

mounts=()
cleanup() {
  local status=$? pid i
  # What the steps left running in the chroot (a bus daemon, a guest) holds
  # its mounts.
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && kill -9 "$pid" 2>/dev/null || true
  done
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" || echo "other-release: cannot unmount ${mounts[i]}" >&2
  done
  if [ -n "$results" ] && [ -d "$root/root/results" ]; then
    mkdir -p "$results"
    cp -r "$root/root/results/." "$results/"
    # The caller's, when it came through sudo, so that its next run can clear them.
    if [ -n "${SUDO_UID:-}" ]; then chown -R "$SUDO_UID:${SUDO_GID:-$SUDO_UID}" "$results"; fi
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP
mount_in() {
  local target=$root/$1
  shift
  mount "$@" "$target"
  mounts+=("$target")
}

start=$SECONDS
if [ ! -f "$root/.made" ]; then
  for dir in "$root" "$root.new"; do
    if mounted_under "$dir"; then fail "$dir still has mounts; unmount them first"; fi
    rm -rf "$dir"
  done
  say "making a Debian $number chroot in $root from $mirror"
  if ! debootstrap --variant=minbase "$other" "$root.new" "$mirror" >"$cache/debootstrap.log" 2>&1; then
    # It may leave its own mounts behind.
    awk -v dir="$root.new/" 'index($2 "/", dir) == 1 {print $2}' /proc/self/mounts | sort -r | xargs -r -n1 umount -l
    fail "debootstrap failed; its log is $cache/debootstrap.log"
  fi
  echo "$sources" >"$root.new/etc/apt/sources.list"
  # A throw-away system: dpkg need not sync every file it unpacks, which
  # takes most of the time of the first install.
  echo force-unsafe-io >"$root.new/etc/dpkg/dpkg.cfg.d/orvex-unsafe-io"
  touch "$root.new/.made"
  mv "$root.new" "$root"
  say "chroot made in $((SECONDS - start)) s"
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"

mount_in proc -t proc proc
mount_in sys -t sysfs sysfs
mount_in dev --bind /dev
mount_in dev/pts --bind /dev/pts
mount_in dev/shm -t tmpfs tmpfs
mount_in tmp -t tmpfs tmpfs

# The tree, copied afresh (as package.sh does), with no build of this machine.
rm -rf "$root/root/orvex-bridge" "$root/root/results" "$root/root/logs"
mkdir -p "$root/root/orvex-bridge" "$root/root/results" "$root/root/logs"
tar -C "$here" -c --exclude-vcs --exclude='./build*' --exclude=./dist -f - . | tar -x -C "$root/root/orvex-bridge"

jobs=$(nproc)
# Runs a command in the chroot, in the copy of the tree. Waited for in the
# background, so that a stop request runs the clean-up at once.
inside() {
  chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 TERM=dumb CI="${CI:-}" DEBIAN_FRONTEND=noninteractive ORVEX_BROWSER=0 bash -euo pipefail -c "cd /root/orvex-bridge; $1" &
  wait $!
}
step() { echo "== Debian $number: $* ($((SECONDS - start)) s)"; }
ctest_in() {
  local build=$1
  shift
  inside "cd $build && ORVEX_KERNEL_BRIDGE=${ORVEX_KERNEL_BRIDGE:-} GTEST_OUTPUT=xml:/root/results/debian$number-$build/ ctest --output-on-failure -j $jobs --timeout 900 $*"
}

# The step runs no browser tests: install-deps.sh leaves their packages out
# (ORVEX_BROWSER=0 in every command of the chroot).
step "install-deps.sh"
inside "scripts/install-deps.sh"
# The kernel suites' guests come from the release's kernel and bluez
# packages: fetched while the plain build compiles (the suites fetch them
# themselves if this fails).
inside "tests/kernel/build-initramfs.sh --ble --fetch-only >/root/logs/fetch.log 2>&1" &
fetch=$!
# The plain build uses clang, as test.sh's builds of the tests do; the
# package build after it compiles the bridge with the release's gcc. clang
# compiles the tests faster than gcc, and this step is the longest of the
# run. The benchmarks are left out: the main run builds them with clang
# too, and none of them runs here.
step "plain build"
inside "CXX=clang++ cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG='-O0 -g1' \
  -DORVEX_WERROR=ON -DCMAKE_UNITY_BUILD=ON -DORVEX_BUILD_BENCH=OFF >/dev/null && cmake --build build-test -j $jobs"
# The in-process tests mostly wait on buses, pages and timers: they run while
# the package compiles, and their output follows.
step "in-process tests, beside the Debian package"
ctest_in build-test -LE kernel >"$root/root/logs/tests.log" 2>&1 &
tests=$!
inside "scripts/package.sh"
if inside "grep -E '^/[^ ]*: warning: ' build-package/build.log"; then fail "the package build warned"; fi
tests_status=0
wait "$tests" || tests_status=$?
cat "$root/root/logs/tests.log"
[ "$tests_status" -eq 0 ] || fail "the in-process tests failed"
step "package checks"
inside "scripts/check-package.sh"
wait "$fetch" || echo "other-release: the kernel packages were not fetched ahead; the kernel suites fetch them"
step "real kernel and real BlueZ (QEMU), the packaged binary inside"
ORVEX_KERNEL_BRIDGE=/root/orvex-bridge/build-package/root/usr/bin/orvex-bridge ctest_in build-test -L kernel
step "passed"
