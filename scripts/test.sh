#!/usr/bin/env bash
# Installs what the build and the tests need, checks the layout of the code
# (clang-format), builds and runs every test:
#  - AddressSanitizer + UndefinedBehaviorSanitizer (clang): every test
#    program, then every libFuzzer target for 5 s (fuzz/; their seeds
#    replay in ctest too);
#  - the Debian package and its checks (lintian, unit, autostart entry, files,
#    dependencies, --check); the packaged binary also runs in a QEMU guest
#    against emulated devices (the real-kernel suite), in two against the
#    real bluetoothd and an emulated BLE device (the real-BlueZ suite), both
#    beside the ASan programs, and under the console's browser tests;
#  - ThreadSanitizer (clang): every test program that starts threads.
#  - the Windows build under Wine (scripts/windows-test.sh), beside the rest;
#  - the other Debian release (Debian 13 on a Debian 12 machine, Debian 12 on
#    a Debian 13 one) in a chroot (scripts/other-release-test.sh): its
#    install-deps.sh, plain build, in-process tests, package and checks, and
#    its kernel and bluetoothd under the two QEMU suites, beside the rest.
# The sanitizer builds skip optimisation: the tests wait on devices and pages,
# not on the processor, and an unoptimised build compiles in a third of the
# time. Every build here is a unity build: the heavy headers (Asio,
# websocketpp, sdbus-c++) are parsed once for several files, which takes
# about 40 % off the processor time of a build. Warnings in our code fail
# every build. Tests that mostly wait run while the next build compiles; each
# such step's output follows when it ends.
# Usage: scripts/test.sh [--quick]   (--quick: one plain build and its tests)
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[ "${1:-}" = "--quick" ] && quick=1

scripts/install-deps.sh

jobs=$(nproc)
started=$SECONDS
stage() { echo "== $* ($((SECONDS - started)) s)"; }
scripts/format-check.sh
configure() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g1" -DORVEX_WERROR=ON \
    -DCMAKE_UNITY_BUILD=ON "$@" >/dev/null
}
logs=build-ci-logs
rm -rf "$logs"
mkdir -p "$logs"
# Each test program writes a report, from which the skips are listed at the
# end of the run (and fail it under CI=true, unless tests/ci/known-skips says
# why the CI machine cannot run them).
run_ctest() {
  local dir=$1
  shift
  local results=$PWD/$logs/results/$(basename "$dir")/
  (cd "$dir" && GTEST_OUTPUT="xml:$results" \
    ctest --output-on-failure -j "$jobs" --timeout 900 "$@")
}

if [ "$quick" -eq 1 ]; then
  stage "plain build"
  configure build-test
  cmake --build build-test -j "$jobs"
  run_ctest build-test -LE kernel
  scripts/skips.py "$logs"
  stage "all tests passed"
  exit 0
fi

# A failed or interrupted run leaves nothing behind. Each background step
# runs in a process group of its own (job control on while it starts), and
# the whole group is stopped at the end: the step's own clean-up runs (Wine's
# server and services), and what the step had started (a test program under
# Wine, a guest) goes with it.
declare -A pids
stop_background() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap stop_background EXIT
trap 'exit 143' TERM INT HUP
# in_background NAME COMMAND...: runs the command with its output in a log.
in_background() {
  local name=$1
  shift
  set -m
  "$@" >"$logs/$name.log" 2>&1 &
  pids[$name]=$!
  set +m
}
# finish NAME: waits for it, shows its output, and fails if it failed.
finish() {
  local name=$1 status=0
  wait "${pids[$name]}" || status=$?
  stage "$name"
  cat "$logs/$name.log"
  if [ "$status" -ne 0 ]; then
    echo "test.sh: $name failed (status $status)" >&2
    exit 1
  fi
}

# The Windows toolchain, Wine and NSIS install while the first build
# compiles; the Windows step waits for them.
in_background "Windows packages" env ORVEX_WINDOWS=1 scripts/install-deps.sh
# The kernel suites' guests come from Debian's kernel and bluez packages:
# fetched while the first build compiles. The suites fetch them if this fails.
in_background "kernel package" tests/kernel/build-initramfs.sh --ble --fetch-only
# The other release's step begins with making its chroot and installing into
# it, mostly waiting on the network and the disk: it starts now, and its
# builds share the cores with the sanitizer builds.
other_release="Debian $( (. /etc/os-release && [ "${VERSION_CODENAME:-}" = trixie ]) && echo 12 || echo 13) in a chroot"
in_background "$other_release" scripts/other-release-test.sh "$PWD/$logs/results"

stage "AddressSanitizer + UndefinedBehaviorSanitizer build"
CXX=clang++ configure build-asan -DORVEX_SANITIZE=address -DORVEX_FUZZ=ON
cmake --build build-asan -j "$jobs"

stage "Debian package"
scripts/package.sh
bridge=$PWD/build-package/root/usr/bin/orvex-bridge
if grep -E '^/[^ ]*: warning: ' build-package/build.log; then
  echo "test.sh: the package build warned (build-package/build.log)" >&2
  exit 1
fi
wait "${pids[kernel package]}" || echo "test.sh: the kernel packages were not fetched ahead; the kernel suites fetch them"

# The ASan programs and the real-kernel suite (one guest for all its cases,
# with the packaged binary in it), the package checks and the console in
# headless Chromium, while the ThreadSanitizer build compiles.
packaged_tests() {
  echo "-- AddressSanitizer + UndefinedBehaviorSanitizer tests, the real kernel and the real BlueZ (QEMU)"
  ORVEX_KERNEL_BRIDGE=$bridge \
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest build-asan
  echo "-- package checks"
  scripts/check-package.sh
  echo "-- console in headless Chromium"
  scripts/console-test.sh "$bridge"
}
in_background "ASan tests, real kernel, package checks, console" packaged_tests
finish "Windows packages"
# The Windows binary, its tests and installer under Wine; the Linux
# app_tests drive the installed binary like a page.
ORVEX_TEST_RESULTS=$PWD/$logs/results/build-windows in_background "Windows build and tests under Wine" \
  scripts/windows-test.sh build-windows build-asan

stage "ThreadSanitizer build (threaded tests)"
CXX=clang++ configure build-tsan -DORVEX_SANITIZE=thread -DORVEX_BUILD_BENCH=OFF
cmake --build build-tsan -j "$jobs" --target threaded_tests
finish "ASan tests, real kernel, package checks, console"

# The threaded tests wait on each other's threads: they run before the
# fuzzers, which would take both cores from them.
stage "ThreadSanitizer tests"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest build-tsan -L threaded
stage "fuzzing, 5 s a target"
scripts/fuzz.sh build-asan 5
finish "Windows build and tests under Wine"
finish "$other_release"

scripts/skips.py "$logs"
stage "all tests passed"
